#include "DlrUnattendedPlan.h"

#include "DlrInstallLedger.h"
#include "DlrSelectionRules.h"

#include <QDebug>
#include <QRegularExpression>

DlrUnattendedPlan DlrUnattendedPlan::forMachine(QList<DlrManifestElement> &manifest,
                                                const DlrMachineAssay &assay,
                                                const DlrInstallLedger *ledger,
                                                const QStringList &selectPatterns,
                                                const QStringList &deselectPatterns)
{
    DlrSelectionRules rules(manifest, assay);
    rules.chooseDownloads();
    // The survey does not recognise every product; what an earlier run installed is not
    // proposed again.
    QList<int> chosen, recorded;
    for (const int i : rules.chosenIndices()) {
        const DlrManifestElement &offer = manifest.at(i);
        if (ledger && ledger->records(offer)) {
            qInfo().noquote() << "Unattended:" << offer.label() << "build" << offer.buildId
                              << "was installed by an earlier run; not proposed again";
            recorded << i;
        } else {
            chosen << i;
        }
    }
    return DlrUnattendedPlan(manifest, chosen, recorded, rules.hiddenIndices(), selectPatterns,
                             deselectPatterns);
}

DlrUnattendedPlan::DlrUnattendedPlan(const QList<DlrManifestElement> &manifest,
                                     const QList<int> &chosenIndices,
                                     const QList<int> &recordedIndices,
                                     const QList<int> &hiddenIndices,
                                     const QStringList &selectPatterns,
                                     const QStringList &deselectPatterns)
{
    const auto addRows = [&](const QList<int> &indices, bool hidden, bool recorded) {
        for (const int i : indices) {
            if (i < 0 || i >= manifest.size())
                continue;
            const DlrManifestElement &offer = manifest.at(i);
            planRows.append({i, offer.label(), offer.name, offer.buildId, offer.fileSize, hidden,
                             recorded, !hidden && !recorded});
        }
    };
    addRows(chosenIndices, false, false);
    addRows(recordedIndices, false, true);
    addRows(hiddenIndices, true, false);

    const auto apply = [this](const QStringList &patterns, const char *option, bool check) {
        for (const QString &pattern : patterns) {
            const QRegularExpression expression(pattern);
            bool matched = false;
            for (Row &row : planRows) {
                if (expression.match(row.label).hasMatch()
                    || expression.match(row.name).hasMatch()) {
                    row.checked = check;
                    matched = true;
                }
            }
            if (!matched)
                warningLines << QStringLiteral("Warning: %1 %2 matches no offer")
                                        .arg(QLatin1String(option), pattern);
        }
    };
    apply(selectPatterns, "-select", true);
    apply(deselectPatterns, "-deselect", false);
}

QList<int> DlrUnattendedPlan::queue() const
{
    QList<int> indices;
    for (const Row &row : planRows) {
        if (row.checked)
            indices << row.index;
    }
    return indices;
}

qint64 DlrUnattendedPlan::neededSpace() const
{
    qint64 needed = 0;
    for (const Row &row : planRows) {
        if (row.checked)
            needed += DlrSelectionRules::spaceNeeded(row.fileSize);
    }
    return needed;
}

QString DlrUnattendedPlan::listText() const
{
    QString text;
    for (const Row &row : planRows) {
        const QString why = row.hidden     ? QStringLiteral(", behind \"Show All\"")
                            : row.recorded ? QStringLiteral(", installed by an earlier run")
                                           : QString();
        text += QStringLiteral("[%1] %2  (%3, build %4%5)\n")
                        .arg(row.checked ? QStringLiteral("x") : QStringLiteral(" "), row.label,
                             row.name, row.buildId.isEmpty() ? QStringLiteral("-") : row.buildId,
                             why);
    }
    return text;
}
