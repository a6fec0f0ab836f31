#pragma once

#include <QDir>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// What the survey found installed: "ProductName", "Version", and for products "Location",
// "BuildId" and, for Maya-specific products, "MayaVersion". A missing key reads as "".
typedef QHash<QString, QString> InstalledRecord;

// The survey of the machine: installed host applications (Maya, Houdini, Katana), installed
// Tessaline products with their build ids, and free disk space. The application uses the single
// object from Instance(); tests may build their own and hand it records.
class DlrMachineAssay
{
public:
    DlrMachineAssay();

    // The single survey object, created on first use and never destroyed.
    static DlrMachineAssay *Instance();

    // Runs the whole survey: hosts first, then installed products. Replaces the records, and
    // logs one SurveyLine per record.
    void DoAssay();

    // The log line for one record, in a form that stays put:
    //   Survey: host Maya 2024
    //   Survey: installed product "<ProductName>" version <Version> build <BuildId> at <Location>
    static QString SurveyLine(const InstalledRecord &record);

    // Records whose "ProductName" is exactly name, highest "Version" (as a number) first.
    QList<InstalledRecord> GetProducts(const QString &productName) const;

    // Among the records whose "ProductName" matches namePattern and whose "Version" equals
    // version (any version when empty), the one with the greatest positive build id. True and
    // found set when there is one; false and found untouched otherwise.
    bool
    FindInstalled(const QString &namePattern, const QString &version, InstalledRecord &found) const;

    // All records whose "ProductName" matches namePattern and whose "Version" matches
    // versionPattern, in survey order.
    QList<InstalledRecord> FindAll(const QString &namePattern, const QString &versionPattern) const;

    // The record's "BuildId" as a base-10 integer, 0 when missing or not a number.
    static void GetBuildId(const InstalledRecord &record, int &buildId);

    // Bytes free for the current user on the volume of dir; 0 on failure (with a warning).
    qint64 GetAvailableDisk(const QDir &dir) const;

    // The user's Downloads folder with forward slashes; home + "/Downloads" when the shell
    // cannot say.
    static QString GetDownloadsFolder();

    const QList<InstalledRecord> &Records() const { return records; }
    void SetRecords(const QList<InstalledRecord> &newRecords) { records = newRecords; }
    const QStringList &SearchRoots() const { return searchRoots; }

    // Both return true on failure (DlrVersionProbe reads them). Public so the readers can be
    // tried on their own.
    bool getBuildIdFromFile(const QString &path, int &buildId, int &major, int &minor);
    bool getBuildIdFromExecutable(
            const QString &path, int &buildId, int &major, int &minor, QString &suffix);

private:
    void findOrrelProducts();
    // One subfolder of a search root: appends its record, or files it under withoutBuildId.
    void surveyProductFolder(const QString &root,
                             const QString &name,
                             QList<InstalledRecord> &withoutBuildId);
    void addSearchRootFromTree(const char *variable);

    QList<InstalledRecord> records;
    QStringList searchRoots;
    QString rendererPath;       // "bin/tsren.exe"
    QString nestedRendererPath; // "tesstree/bin/tsren.exe"
    QString mayaPluginPath;     // "plug-ins/Tessaline_for_Maya.mll"
    QString localSpoolPath;     // "bin/LocalSpool.exe"
    QString buildIdFilePath;    // "etc/buildid.txt"
    QString mayaScriptPath;     // "plug-ins/Tessaline_for_Maya.py"
};
