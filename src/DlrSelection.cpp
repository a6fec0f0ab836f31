#include "DlrSelection.h"

#include "DlrApp.h"
#include "DlrMachineAssay.h"
#include "DlrMessageBox.h"
#include "DlrSelectionRules.h"
#include "DlrTexts.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDebug>
#include <QListWidget>
#include <QVBoxLayout>
#include <QWizard>

DlrSelection::DlrSelection(DlrApp *app, QWidget *parent)
    : QWizardPage(parent)
    , app(app)
{
    connect(app, &DlrApp::validManifestReply, this, &DlrSelection::validManifest);
    connect(app, &DlrApp::invalidManifestReply, this, &DlrSelection::invalidManifest);

    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, app->GetPixmap("selectionBanner.png"));

    auto *layout = new QVBoxLayout(this);
    productList = new QListWidget(this);
    productList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(productList);
    auto *showAll = new QCheckBox(tr("Show All"), this);
    showAll->setObjectName(QStringLiteral("showAll"));
    layout->addWidget(showAll);
    connect(showAll, &QCheckBox::clicked, this, &DlrSelection::buildList);
}

DlrMachineAssay *DlrSelection::assay() const
{
    DlrMachineAssay *assay = app->getAssay();
    return assay ? assay : DlrMachineAssay::Instance();
}

bool DlrSelection::isComplete() const
{
    return assayDone && manifestValid;
}

bool DlrSelection::isProductEnabled(int row)
{
    const QListWidgetItem *item = productList->item(row);
    if (!item) {
        qDebug() << "Failed getting checkbox from table";
        return false;
    }
    return item->data(Qt::CheckStateRole) == Qt::Checked;
}

void DlrSelection::initializePage()
{
    qDebug() << "Selection";
    assayDone = false;
    manifestValid = false;
    performAssay();
}

void DlrSelection::performAssay()
{
    qDebug() << "Doing assay...";
    // Blocks the window while product executables answer (each bounded by its own wait).
    app->RunAssay();
    inspectAssay();
}

void DlrSelection::inspectAssay()
{
    qDebug() << "Assay completed";
    assayDone = true;
    Q_EMIT completeChanged();
    app->RequestManifest(app->GetManifestUrl(), app->getUserName(), app->getPassword(),
                         QStringLiteral("windows"));
}

void DlrSelection::invalidManifest(const QString &reason)
{
    DlrMessageBox::critical(QLatin1String(DlrBox::ManifestFailed),
                            QStringLiteral("Could not get a product list from Orrel"), reason);
    app->endRun(DlrExitCode::Failure);
}

void DlrSelection::validManifest()
{
    chosenIndices.clear();
    hiddenIndices.clear();
    app->setDownloadQueue({});
    chooseDownloads();
    qDebug() << "Chose" << chosenIndices.size() << "to download";
    qDebug() << "There are " << hiddenIndices.size() << "hidden";
    // "Show All" stays as the user left it (Back to the sign-in page and Next again), and the
    // list follows it rather than contradicting it.
    const auto *showAll = findChild<QCheckBox *>(QStringLiteral("showAll"));
    buildList(showAll && showAll->isChecked());
    manifestValid = true;
    Q_EMIT completeChanged();
}

void DlrSelection::chooseDownloads()
{
    DlrSelectionRules rules(app->manifestList(), *assay());
    rules.chooseDownloads();
    chosenIndices = rules.chosenIndices();
    hiddenIndices = rules.hiddenIndices();
}

void DlrSelection::buildList(bool includeHidden)
{
    // Chosen rows always come first in the same order, so states recorded by row position
    // carry the user's choices across "Show All".
    QList<bool> wasChecked;
    for (int r = 0; r < productList->count(); ++r)
        wasChecked.append(productList->item(r)->checkState() == Qt::Checked);
    productList->clear();

    QList<int> rows = chosenIndices;
    if (includeHidden && !hiddenIndices.isEmpty())
        rows += hiddenIndices;
    qDebug() << "building a list with" << rows;

    const QList<DlrManifestElement> &manifest = app->manifestList();
    for (int r = 0; r < rows.size(); ++r) {
        const int i = rows.at(r);
        if (i < 0 || i >= manifest.size()) {
            qCritical() << "internal error building selection list";
            return;
        }
        const QString label = manifest.at(i).label();
        qDebug() << "Adding " << manifest.at(i).name << "with label " << label;
        auto *item = new QListWidgetItem(label, productList);
        item->setCheckState(Qt::Unchecked);
        if (r < wasChecked.size())
            item->setCheckState(wasChecked.at(r) ? Qt::Checked : Qt::Unchecked);
        else
            item->setCheckState(r < chosenIndices.size() ? Qt::Checked : Qt::Unchecked);
        app->CheckForDownload(i);
    }
}

bool DlrSelection::validatePage()
{
    const QList<DlrManifestElement> &manifest = app->manifestList();
    QList<int> selected;
    qint64 needed = 0;
    // Chosen rows, then the hidden rows that are listed.
    QList<QPair<int, int>> rowsAndIndices;
    for (int r = 0; r < chosenIndices.size(); ++r)
        rowsAndIndices.append({r, chosenIndices.at(r)});
    for (int j = 0; j < hiddenIndices.size(); ++j) {
        const int row = j + chosenIndices.size();
        if (row < productList->count())
            rowsAndIndices.append({row, hiddenIndices.at(j)});
    }
    for (const auto &rowAndIndex : qAsConst(rowsAndIndices)) {
        if (!isProductEnabled(rowAndIndex.first))
            continue;
        const int i = rowAndIndex.second;
        if (i < 0 || i >= manifest.size()) {
            qDebug() << "manifest index out of range" << i << "from selection" << rowAndIndex.first;
            return false;
        }
        selected.append(i);
        needed += DlrSelectionRules::spaceNeeded(manifest.at(i).fileSize);
    }

    if (selected.isEmpty()) {
        DlrMessageBox::critical(QLatin1String(DlrBox::NoProducts),
                                QStringLiteral("There were no products to install"));
        app->endRun(DlrExitCode::NothingChosen);
        return false;
    }

    const QDir *folder = app->GetDownloadDir();
    const qint64 available = assay()->GetAvailableDisk(*folder);
    if (available < needed) { // exactly twice the downloads is enough
        DlrMessageBox::critical(
                QLatin1String(DlrBox::NotEnoughSpace),
                QStringLiteral(
                        "You do not have enough free disk space to download the selected products"),
                QStringLiteral("Needed %1 for selected downloads. There is %2 of available space "
                               "on %3")
                        .arg(sizeText(needed), sizeText(available), folder->absolutePath()));
        return false;
    }
    qDebug() << "We have enough space" << sizeText(available) << "to continue. Needed"
             << sizeText(needed);
    app->setDownloadQueue(selected);
    return true;
}
