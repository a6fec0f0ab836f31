#pragma once

#include <QWizardPage>

// Last page: Finish opens the success page.
// NOT YET BUILT: only the page's frame exists so far.
class DlrFinished : public QWizardPage
{
    Q_OBJECT

public:
    explicit DlrFinished(QWidget *parent);
};
