#include "DlrSelection.h"

#include "DlrApp.h"

#include <QWizard>

DlrSelection::DlrSelection(QWidget *parent)
    : QWizardPage(parent)
{
    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, dlrApp->GetPixmap("selectionBanner.png"));
}
