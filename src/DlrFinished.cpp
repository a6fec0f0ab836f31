#include "DlrFinished.h"

#include "DlrApp.h"

#include <QDebug>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <QWizard>

DlrFinished::DlrFinished(QWidget *parent)
    : QWizardPage(parent)
{
    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, dlrApp->GetPixmap("finishedBanner.png"));

    auto *layout = new QVBoxLayout;
    setLayout(layout);
    auto *artworkRow = new QHBoxLayout;
    auto *artwork = new QLabel(this);
    artwork->setObjectName(QStringLiteral("finishArtwork"));
    artwork->setPixmap(dlrApp->GetPixmap("finish-1.png"));
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
    qDebug() << "Opening" << dlrApp->getSuccessUrl().toString();
    QDesktopServices::openUrl(dlrApp->getSuccessUrl());
    return true;
}
