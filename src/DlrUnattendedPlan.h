#pragma once

#include "DlrManifestElement.h"

#include <QList>
#include <QString>
#include <QStringList>

class DlrInstallLedger;
class DlrMachineAssay;

// What a run without questions installs: the selection page's proposal (its checked rows and
// those behind "Show All") adjusted by the administrator's -select and -deselect patterns.
// A pattern is a regular expression searched in an offer's label and in its name; -select may
// check any listed row, hidden ones included, and -deselect wins over -select.
class DlrUnattendedPlan
{
public:
    struct Row
    {
        int index = -1; // manifest index
        QString label;
        QString name;
        QString buildId;
        qint64 fileSize = 0;
        bool hidden = false;   // behind "Show All"
        bool recorded = false; // proposed, but an earlier run installed this build
        bool checked = false;  // will be installed
    };

    // The rows: the proposal's checked rows, those of them an earlier run installed (left
    // unchecked), then those behind "Show All". The patterns must be valid (the options are
    // checked before anything runs).
    DlrUnattendedPlan(const QList<DlrManifestElement> &manifest,
                      const QList<int> &chosenIndices,
                      const QList<int> &recordedIndices,
                      const QList<int> &hiddenIndices,
                      const QStringList &selectPatterns,
                      const QStringList &deselectPatterns);

    // The plan for this machine: the selection rules' proposal for its survey, less the offers
    // the ledger (when given) records as installed by an earlier run, adjusted by the patterns.
    static DlrUnattendedPlan forMachine(QList<DlrManifestElement> &manifest,
                                        const DlrMachineAssay &assay,
                                        const DlrInstallLedger *ledger,
                                        const QStringList &selectPatterns,
                                        const QStringList &deselectPatterns);

    const QList<Row> &rows() const { return planRows; }
    // One line per pattern that matched no listed offer; the run goes on.
    const QStringList &warnings() const { return warningLines; }
    // The manifest indices of the checked rows, in row order: what to download and install.
    QList<int> queue() const;
    // Twice the size of the checked files, the space the selection page asks for.
    qint64 neededSpace() const;
    // The text of -list: one line per row, the proposed ones first.
    QString listText() const;

private:
    QList<Row> planRows;
    QStringList warningLines;
};
