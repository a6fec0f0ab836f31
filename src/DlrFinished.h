#pragma once

#include <QWizardPage>

class DlrApp;

// Last page: a closing picture and a Finish button that opens the success page in the browser.
class DlrFinished : public QWizardPage
{
    Q_OBJECT

public:
    DlrFinished(DlrApp *app, QWidget *parent);

    void initializePage() override;
    bool validatePage() override;

private:
    DlrApp *app;
};
