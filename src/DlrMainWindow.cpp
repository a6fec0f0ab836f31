#include "DlrMainWindow.h"

#include "DlrApp.h"
#include "DlrDownload.h"
#include "DlrFinished.h"
#include "DlrSelection.h"
#include "DlrSignIn.h"

DlrMainWindow::DlrMainWindow(DlrApp *app)
    : QWizard(nullptr)
{
    setWindowTitle(QStringLiteral("Tessaline Installer"));
    setWizardStyle(QWizard::ModernStyle);
    setPixmap(QWizard::BannerPixmap, app->GetPixmap("banner.png"));

    // Ids follow the order of addition: 0 sign-in, 1 selection, 2 download, 3 finished.
    addPage(new DlrSignIn(app, this));
    addPage(new DlrSelection(app, this));
    addPage(new DlrDownload(app, this));
    addPage(new DlrFinished(app, this));

    setButtonLayout(
            {QWizard::Stretch, QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton});
}

QSize DlrMainWindow::sizeHint() const
{
    return QSize(800, 400);
}
