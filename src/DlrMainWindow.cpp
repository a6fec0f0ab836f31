#include "DlrMainWindow.h"

#include "DlrApp.h"
#include "DlrDownload.h"
#include "DlrFinished.h"
#include "DlrSelection.h"
#include "DlrSignIn.h"

DlrMainWindow::DlrMainWindow()
    : QWizard(nullptr)
{
    setWindowTitle(QStringLiteral("Tessaline Installer"));
    setWizardStyle(QWizard::ModernStyle);
    setPixmap(QWizard::BannerPixmap, dlrApp->GetPixmap("banner.png"));

    // Ids follow the order of addition: 0 sign-in, 1 selection, 2 download, 3 finished.
    addPage(new DlrSignIn(this));
    addPage(new DlrSelection(this));
    addPage(new DlrDownload(this));
    addPage(new DlrFinished(this));

    setButtonLayout(
            {QWizard::Stretch, QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton});
}

QSize DlrMainWindow::sizeHint() const
{
    return QSize(800, 400);
}
