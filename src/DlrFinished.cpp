#include "DlrFinished.h"

#include "DlrApp.h"

#include <QWizard>

DlrFinished::DlrFinished(QWidget *parent)
    : QWizardPage(parent)
{
    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, dlrApp->GetPixmap("finishedBanner.png"));
}
