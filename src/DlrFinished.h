#pragma once

#include <QWizardPage>

// Last page: a closing picture and a Finish button that opens the success page in the browser.
class DlrFinished : public QWizardPage
{
    Q_OBJECT

public:
    explicit DlrFinished(QWidget *parent);

    void initializePage() override;
    bool validatePage() override;
};
