#include "DlrDownload.h"

#include "DlrApp.h"

#include <QWizard>

DlrDownload::DlrDownload(QWidget *parent)
    : QWizardPage(parent)
{
    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, dlrApp->GetPixmap("downloadBanner.png"));
}
