#include "DlrUnattendedPlan.h"

#include "DlrSelectionRules.h"

#include <QRegularExpression>

DlrUnattendedPlan::DlrUnattendedPlan(const QList<DlrManifestElement> &manifest,
                                     const QList<int> &chosenIndices,
                                     const QList<int> &hiddenIndices,
                                     const QStringList &selectPatterns,
                                     const QStringList &deselectPatterns)
{
    const auto addRows = [&](const QList<int> &indices, bool hidden) {
        for (const int i : indices) {
            if (i < 0 || i >= manifest.size())
                continue;
            const DlrManifestElement &offer = manifest.at(i);
            planRows.append(
                    {i, offer.label(), offer.name, offer.buildId, offer.fileSize, hidden, !hidden});
        }
    };
    addRows(chosenIndices, false);
    addRows(hiddenIndices, true);

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
        text += QStringLiteral("[%1] %2  (%3, build %4%5)\n")
                        .arg(row.checked ? QStringLiteral("x") : QStringLiteral(" "), row.label,
                             row.name, row.buildId.isEmpty() ? QStringLiteral("-") : row.buildId,
                             row.hidden ? QStringLiteral(", behind \"Show All\"") : QString());
    }
    return text;
}
