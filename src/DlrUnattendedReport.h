#pragma once

#include "DlrMachineAssay.h"
#include "DlrUnattendedPlan.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The JSON report of a run without questions (-report FILE): the machine survey, the
// proposal, for each product its download and its install, and how the run ended. It is built
// from what the run did, never from the configuration, so no password can reach it.
class DlrUnattendedReport
{
public:
    struct Product
    {
        int index = -1; // manifest index
        QString name;
        QString label;
        // Download: bytes fetched in this run (0 for a complete file found on disk), the time
        // it took over all attempts, the file's SHA-256 when known.
        bool downloaded = false;
        bool reused = false;
        int attempts = 0;
        qint64 bytes = 0;
        double downloadSeconds = 0;
        QString sha256;
        // Where the bytes came from: the source (as given) or "maker" of the request that
        // completed the file, and the bytes fetched from each.
        QString from;
        QMap<QString, qint64> bytesBySource;
        // Install: the installer's return code (-1 when it did not run).
        bool installed = false;
        int returnCode = -1;
        double installSeconds = 0;
    };

    void setSurvey(const QList<InstalledRecord> &records);
    void setProposal(const QList<DlrUnattendedPlan::Row> &rows);
    // The record of a manifest index, added at the end on first use.
    Product &product(int index);
    const QList<Product> &products() const { return productList; }
    void setOutcome(int exitCode, const QString &exitName, const QString &message);
    // Where the product list came from: a source as given, "maker", or the manifest file.
    void setProductList(const QString &origin) { listOrigin = origin; }
    // What a -mirror run did to its folder.
    struct Mirror
    {
        QString folder;
        QStringList fetched, kept, removed;
    };
    void setMirror(const Mirror &result) { mirror = result; }
    Mirror &mirrorResult() { return mirror; }

    QByteArray toJson() const;
    // Writes the report through a temporary file flushed to disk, so a reader never sees half
    // of one, even after a power loss.
    bool write(const QString &path, QString *error) const;
    // Whether a report can be written at path (asked before the run does anything): the
    // folder must take a new file beside it, and path must not be a folder.
    static bool canWrite(const QString &path, QString *problem);
    // The SHA-256 of an offer's complete download: the manifest's when it gave one (the
    // download checked it), else computed from the file; empty when it cannot be read.
    static QString digestOf(const DlrManifestElement &offer);

private:
    QList<InstalledRecord> survey;
    QList<DlrUnattendedPlan::Row> proposal;
    QList<Product> productList;
    QString listOrigin;
    Mirror mirror;
    int exitCode = -1;
    QString exitName;
    QString message;
};
