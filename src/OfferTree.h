#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

class DlrManifestElement;

// Offers grouped by major version, then by build id, so the selection rules can take the
// newest build of each major version as one group. Holds pointers into the application's
// manifest list; owns none of them and lives for one run of the selection rules.
class OfferTree
{
public:
    // Files the offer under its major version and build id. The pointer must outlive the tree.
    void AddOffer(DlrManifestElement *offer);

    // Major-version keys, greatest text first (text order, not numeric: "9" before "26").
    QStringList Versions() const;
    // Build-id keys under a major version, greatest text first. Adds a missing major version.
    QStringList BuildIds(const QString &majorVersion);
    // The first of BuildIds.
    QString NewestBuildId(const QString &majorVersion);
    // The offers under both keys in the order they were added (adds missing keys).
    QList<DlrManifestElement *> Offers(const QString &majorVersion, const QString &buildId);

    // Writes the tree to the log, one debug line per entry.
    void DebugPrint() const;

private:
    QMap<QString, QMap<QString, QList<DlrManifestElement *>>> offers;
};
