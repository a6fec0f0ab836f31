#pragma once

#include <QWizardPage>

// Second page: the products that fit this machine.
// NOT YET BUILT: only the page's frame exists so far.
class DlrSelection : public QWizardPage
{
    Q_OBJECT

public:
    explicit DlrSelection(QWidget *parent);
};
