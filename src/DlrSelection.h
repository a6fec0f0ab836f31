#pragma once

#include <QList>
#include <QWizardPage>

class DlrApp;

class DlrMachineAssay;
class QListWidget;

// Second page: surveys the machine, asks for the manifest, lists the offers that fit the machine
// checked (the rest behind "Show All"), and on Next checks the disk and hands the checked
// products to the download page through the application's download queue.
class DlrSelection : public QWizardPage
{
    Q_OBJECT

public:
    DlrSelection(DlrApp *app, QWidget *parent);

    void initializePage() override;
    bool validatePage() override;
    bool isComplete() const override;

    // Whether the row's check box is ticked; a missing row counts as unticked.
    bool isProductEnabled(int row);

    const QList<int> &chosen() const { return chosenIndices; }
    const QList<int> &hidden() const { return hiddenIndices; }

public Q_SLOTS:
    void inspectAssay();
    void invalidManifest(const QString &reason);
    void validManifest();
    void buildList(bool includeHidden);

private:
    void performAssay();
    // Fills chosenIndices and hiddenIndices by the selection rules.
    void chooseDownloads();
    DlrMachineAssay *assay() const;

    bool assayDone = false;
    bool manifestValid = false;
    QListWidget *productList = nullptr;
    // Row r stands for chosenIndices[r], then for hiddenIndices[r - chosenIndices.size()].
    QList<int> chosenIndices;
    QList<int> hiddenIndices;
    DlrApp *app;
};
