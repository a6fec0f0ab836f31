#pragma once

#include <QWizardPage>

// Third page: downloads and installs the chosen products with one progress bar.
// NOT YET BUILT: only the page's frame exists so far.
class DlrDownload : public QWizardPage
{
    Q_OBJECT

public:
    explicit DlrDownload(QWidget *parent);
};
