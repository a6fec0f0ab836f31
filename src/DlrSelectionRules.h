#pragma once

#include "DlrMachineAssay.h"

#include <QList>
#include <QRegularExpression>
#include <QString>

class DlrManifestElement;

// Which offers of the manifest to propose on the selection page. Only the newest build of each
// major version is considered: its Workserver when missing or older than offered (for an older
// major version only when a Workserver of it is installed), then its bridges for the host
// applications the survey found; everything else as the offer's default behaviour says.
// Pure logic: a manifest and a survey in, two lists of manifest indices out.
class DlrSelectionRules
{
public:
    enum SelectionDecision {
        Selected = 0,        // the offer's index was appended to the chosen list
        NotSelected = 1,     // nothing appended: no matching offer or host, or newer installed
        AlreadyInstalled = 2 // exactly this build is installed; nothing appended
    };

    // Both must outlive the rules; the manifest's records are not added or removed meanwhile.
    DlrSelectionRules(QList<DlrManifestElement> &manifest, const DlrMachineAssay &assay);

    // Disk space an offer needs: its download, and about as much again for what installs.
    static qint64 spaceNeeded(qint64 fileSize) { return 2 * fileSize; }

    // Fills the chosen (checked) and hidden (behind "Show All") lists, in order of decision.
    void chooseDownloads();
    const QList<int> &chosenIndices() const { return chosen; }
    const QList<int> &hiddenIndices() const { return hidden; }

    // The steps of chooseDownloads, for one group (the offers of one build of one major version).
    void SelectApplicableOffers(const QList<DlrManifestElement *> &offers);
    SelectionDecision AttemptSelectTWSFromOffers(const QList<DlrManifestElement *> &offers);
    SelectionDecision AttemptSelectTfMFromOffer(DlrManifestElement *offer,
                                                const QString &bridgeVer);
    SelectionDecision AttemptSelectTfKFromOffer(DlrManifestElement *offer,
                                                const QString &bridgeVer);
    SelectionDecision AttemptSelectTfHFromOffer(DlrManifestElement *offer,
                                                const QString &bridgeVer);

    // Reads the host application word and the host version from an offer's name
    // (TessalineForMaya-24.4-maya2022...). Compiled once for the life of the program.
    static const QRegularExpression &offerNamePattern();

    // One host application the bridges serve: how the survey names it and what to log.
    struct Host
    {
        const char *word;       // the offer name's bridge word, lower case
        const char *namePrefix; // start of the installed-bridge name pattern
        const char *productName;
        const char *noHostLog;
        const char *agnosticLog;
        const char *matchLog;
    };
    static const Host Maya;
    static const Host Katana;
    static const Host Houdini;

private:
    SelectionDecision
    attemptSelectBridge(DlrManifestElement *offer, const QString &bridgeVer, const Host &host);
    void selectOffer(DlrManifestElement *offer);
    void applyDefaultBehaviour();

    QList<DlrManifestElement> &manifest;
    const DlrMachineAssay &assay;
    QList<int> chosen;
    QList<int> hidden;
};
