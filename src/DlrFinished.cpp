#include "DlrFinished.h"

#include "DlrApp.h"

#include <QDebug>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <QWizard>

DlrFinished::DlrFinished(DlrApp *app, QWidget *parent)
    : QWizardPage(parent)
    , app(app)
{
    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, app->GetPixmap("finishedBanner.png"));

    auto *layout = new QVBoxLayout;
    setLayout(layout);
    auto *artworkRow = new QHBoxLayout;
    auto *artwork = new QLabel(this);
    artwork->setObjectName(QStringLiteral("finishArtwork"));
    artwork->setPixmap(app->GetPixmap("finish-1.png"));
    artworkRow->addStretch();
    artworkRow->addWidget(artwork);
    artworkRow->addStretch();
    layout->addLayout(artworkRow);
}

void DlrFinished::initializePage()
{
    // Nothing to go back to: only Finish.
    wizard()->setButtonLayout({QWizard::Stretch, QWizard::FinishButton});
    qDebug() << "Finished!";
}

bool DlrFinished::validatePage()
{
    qDebug() << "Opening" << app->getSuccessUrl().toString();
    QDesktopServices::openUrl(app->getSuccessUrl());
    return true;
}
