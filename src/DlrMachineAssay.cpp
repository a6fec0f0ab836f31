#include "DlrMachineAssay.h"

#include "DlrPlatform.h"
#include "DlrVersionProbe.h"
#include "DlrWindowsAssay.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace {

const QString ProductNameKey = QStringLiteral("ProductName");
const QString VersionKey = QStringLiteral("Version");
const QString LocationKey = QStringLiteral("Location");
const QString BuildIdKey = QStringLiteral("BuildId");
const QString MayaVersionKey = QStringLiteral("MayaVersion");

// The oldest major version the survey records.
const int OldestRecordedMajor = 19;

enum class ProductKind { Server, Atelier, MayaBridge };

struct KindRule
{
    ProductKind kind;
    QRegularExpression expression;
};

// Tried in this order; the first match decides, so a name that reads as both a server and a
// bridge is a server.
const QList<KindRule> &kindRules()
{
    static const QList<KindRule> rules = {
            {ProductKind::Server,
             QRegularExpression(QStringLiteral("[Tt]essaline.*[sS]erver|TWS"))},
            {ProductKind::Atelier,
             QRegularExpression(QStringLiteral("[Tt]essaline.*[aA]telier|TAS"))},
            {ProductKind::MayaBridge,
             QRegularExpression(QStringLiteral("[Tt]essaline.*[fF]or[Mm]aya|TFM"))},
    };
    return rules;
}

// Maya versions in product folder names: 2011 to 2019 only, so maya2020 reads as "any Maya".
const QRegularExpression &mayaVersionInName()
{
    static const QRegularExpression expression(QStringLiteral("(201[1-9]\\.?[0-9]?)"));
    return expression;
}

bool sameFolder(const QString &a, const QString &b)
{
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    const QString canonicalB = QFileInfo(b).canonicalFilePath();
    if (!canonicalA.isEmpty() && !canonicalB.isEmpty())
        return canonicalA == canonicalB;
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

} // namespace

DlrMachineAssay::DlrMachineAssay()
    : rendererPath(QStringLiteral("bin/tsren.exe"))
    , nestedRendererPath(QStringLiteral("tesstree/bin/tsren.exe"))
    , mayaPluginPath(QStringLiteral("plug-ins/Tessaline_for_Maya.mll"))
    , localSpoolPath(QStringLiteral("bin/LocalSpool.exe"))
    , buildIdFilePath(QStringLiteral("etc/buildid.txt"))
    , mayaScriptPath(QStringLiteral("plug-ins/Tessaline_for_Maya.py"))
{
    QString programFiles;
    if (DlrPlatform::programFilesSpecialFolder(&programFiles)) {
        searchRoots.append(programFiles);
        searchRoots.append(programFiles + QDir::separator() + QStringLiteral("Orrel"));
    }
    addSearchRootFromTree("TESSTREE");
    addSearchRootFromTree("TASTREE");
}

void DlrMachineAssay::addSearchRootFromTree(const char *variable)
{
    if (!qEnvironmentVariableIsSet(variable))
        return;
    const QString folder = qEnvironmentVariable(variable);
    qDebug().noquote() << QStringLiteral("found %1 set at ").arg(QLatin1String(variable)) << folder;
    QDir parent(folder);
    if (!parent.cdUp())
        return; // the parent does not exist
    const QString path = parent.absolutePath();
    for (const QString &root : qAsConst(searchRoots)) {
        if (sameFolder(root, path))
            return;
    }
    searchRoots.append(path);
}

DlrMachineAssay *DlrMachineAssay::Instance()
{
    static DlrMachineAssay *single = new DlrMachineAssay;
    return single;
}

QString DlrMachineAssay::SurveyLine(const InstalledRecord &record)
{
    // Products carry a location, host applications do not.
    if (!record.contains(LocationKey))
        return QStringLiteral("Survey: host %1 %2")
                .arg(record.value(ProductNameKey), record.value(VersionKey));
    return QStringLiteral("Survey: installed product \"%1\" version %2 build %3 at %4")
            .arg(record.value(ProductNameKey), record.value(VersionKey), record.value(BuildIdKey),
                 record.value(LocationKey));
}

void DlrMachineAssay::DoAssay()
{
    records = DlrWindowsAssay::HostRecords();
    findOrrelProducts();
    // One line per record in a fixed form, for whoever reads the log after the run.
    for (const InstalledRecord &record : qAsConst(records))
        qDebug().noquote() << SurveyLine(record);
}

QList<InstalledRecord> DlrMachineAssay::GetProducts(const QString &productName) const
{
    QList<InstalledRecord> found;
    for (const InstalledRecord &record : records) {
        if (record.value(ProductNameKey) == productName)
            found.append(record);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const InstalledRecord &a, const InstalledRecord &b) {
                         return a.value(VersionKey).toDouble() > b.value(VersionKey).toDouble();
                     });
    return found;
}

bool DlrMachineAssay::FindInstalled(const QString &namePattern,
                                    const QString &version,
                                    InstalledRecord &found) const
{
    const QRegularExpression name(namePattern);
    const InstalledRecord *best = nullptr;
    int bestId = 0;
    for (const InstalledRecord &record : records) {
        if (!name.match(record.value(ProductNameKey)).hasMatch())
            continue;
        if (!version.isEmpty() && record.value(VersionKey) != version)
            continue;
        bool ok = false;
        const int id = record.value(BuildIdKey).toInt(&ok, 10);
        if (!ok || id <= 0)
            continue;
        if (!best || id > bestId) { // on equal ids the earlier record stays
            best = &record;
            bestId = id;
        }
    }
    if (!best)
        return false;
    found = *best;
    return true;
}

QList<InstalledRecord> DlrMachineAssay::FindAll(const QString &namePattern,
                                                const QString &versionPattern) const
{
    const QRegularExpression name(namePattern);
    const QRegularExpression version(versionPattern);
    QList<InstalledRecord> found;
    for (const InstalledRecord &record : records) {
        if (name.match(record.value(ProductNameKey)).hasMatch()
            && version.match(record.value(VersionKey)).hasMatch())
            found.append(record);
    }
    return found;
}

void DlrMachineAssay::GetBuildId(const InstalledRecord &record, int &buildId)
{
    bool ok = false;
    buildId = record.value(BuildIdKey).toInt(&ok, 10);
    if (!ok)
        buildId = 0;
}

qint64 DlrMachineAssay::GetAvailableDisk(const QDir &dir) const
{
    const QString path = dir.absolutePath();
    qint64 bytes = 0;
    if (!DlrPlatform::freeDiskSpace(QDir::toNativeSeparators(path), &bytes)) {
        qWarning() << "GetFreeDiskSpaceEx failed" << DlrPlatform::lastError();
        return 0;
    }
    qDebug() << "Bytes avail on" << path << " " << bytes;
    return bytes;
}

QString DlrMachineAssay::GetDownloadsFolder()
{
    QString folder;
    if (DlrPlatform::downloadsFolder(&folder))
        return QDir::fromNativeSeparators(folder);
    return QDir::home().absolutePath() + QStringLiteral("/Downloads");
}

// ---------------------------------------------------------------------------------------------
// Installed Tessaline products

void DlrMachineAssay::findOrrelProducts()
{
    QList<InstalledRecord> withoutBuildId;
    for (const QString &root : qAsConst(searchRoots)) {
        qDebug() << "Looking for orrel products in" << root;
        const QDir dir(root);
        if (!dir.exists())
            continue;
        const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
        for (const QString &name : names)
            surveyProductFolder(root, name, withoutBuildId);
    }

    // Old bridges that carry no build id take their server's, or are not recorded at all.
    for (InstalledRecord record : qAsConst(withoutBuildId)) {
        InstalledRecord server;
        if (!FindInstalled(QStringLiteral("Tessaline Workserver"), record.value(VersionKey),
                           server)) {
            qDebug() << "No TWS for noid version" << record.value(VersionKey) << "in"
                     << record.value(LocationKey);
            continue;
        }
        record.insert(BuildIdKey, server.value(BuildIdKey));
        records.append(record);
        qDebug() << "Found TWS for noid version " << record.value(VersionKey);
        qDebug() << "Found" << record;
    }
}

void DlrMachineAssay::surveyProductFolder(const QString &root,
                                          const QString &name,
                                          QList<InstalledRecord> &withoutBuildId)
{
    const QString location = root + QDir::separator() + name;
    auto inFolder = [&location](const QString &relative) {
        return location + QDir::separator() + relative;
    };

    const KindRule *rule = nullptr;
    for (const KindRule &candidate : kindRules()) {
        if (candidate.expression.match(name).hasMatch()) {
            rule = &candidate;
            break;
        }
    }
    if (!rule)
        return;
    qDebug() << name << "matched" << rule->expression.pattern();

    int buildId = 0, major = 0, minor = 0;
    QString suffix;
    QString productName; // with %1 for the version, filled once it is known
    QString mayaVersion;

    switch (rule->kind) {
    case ProductKind::Server:
        if (getBuildIdFromExecutable(inFolder(rendererPath), buildId, major, minor, suffix))
            return;
        productName = QStringLiteral("Tessaline Workserver %1");
        break;

    case ProductKind::Atelier: {
        const QString library = inFolder(mayaPluginPath);
        if (!QFileInfo::exists(library)) {
            qDebug() << "Not TAS for Maya, no" << library;
            return;
        }
        const QRegularExpressionMatch maya = mayaVersionInName().match(name);
        if (!maya.hasMatch()) {
            qDebug() << "No maya verion in TAS path" << name;
            return;
        }
        mayaVersion = maya.captured(1);
        if (getBuildIdFromExecutable(inFolder(nestedRendererPath), buildId, major, minor, suffix))
            return;
        productName = QStringLiteral("Tessaline Atelier %1 for Maya ") + mayaVersion;
        break;
    }

    case ProductKind::MayaBridge: {
        const QString library = inFolder(mayaPluginPath);
        if (!QFileInfo::exists(library) && !QFileInfo::exists(inFolder(mayaScriptPath))) {
            qDebug() << "Not Tessaline for Maya, no" << library;
            return;
        }
        const QString buildIdFile = inFolder(buildIdFilePath);
        const QRegularExpressionMatch maya = mayaVersionInName().match(name);
        if (!maya.hasMatch()) { // serves every Maya version
            if (getBuildIdFromFile(buildIdFile, buildId, major, minor))
                return;
            productName = QStringLiteral("Tessaline for Maya %1");
            break;
        }
        mayaVersion = maya.captured(1);
        if (!getBuildIdFromFile(buildIdFile, buildId, major, minor)
            || !getBuildIdFromExecutable(inFolder(localSpoolPath), buildId, major, minor, suffix)) {
            productName = QStringLiteral("Tessaline %1 for Maya ") + mayaVersion;
            break;
        }
        // 21.0 and 21.1 bridges shipped without any build id; they borrow their server's later.
        static const QRegularExpression noIdRelease(QStringLiteral("TessalineForMaya-21.([0-2])"));
        const QRegularExpressionMatch noId = noIdRelease.match(buildIdFile);
        if (!noId.hasMatch())
            return;
        qDebug() << "Found 21.0 or 21.1 TfM with no id in " << buildIdFile;
        const QString version = QStringLiteral("21.") + noId.captured(1);
        InstalledRecord record;
        record.insert(ProductNameKey,
                      QStringLiteral("Tessaline %1 for Maya %2").arg(version, mayaVersion));
        record.insert(VersionKey, version);
        record.insert(MayaVersionKey, mayaVersion);
        record.insert(LocationKey, location);
        withoutBuildId.append(record);
        return;
    }
    }

    if (major < OldestRecordedMajor) {
        qDebug() << "Not recording product older than" << OldestRecordedMajor << "in" << location;
        return;
    }
    const QString version = QStringLiteral("%1.%2").arg(major).arg(minor);
    InstalledRecord record;
    record.insert(ProductNameKey, productName.arg(version));
    record.insert(BuildIdKey, QString::number(buildId));
    record.insert(VersionKey, version);
    record.insert(LocationKey, location);
    if (!mayaVersion.isEmpty())
        record.insert(MayaVersionKey, mayaVersion);
    records.append(record);
    qDebug() << "Found" << record;
}

bool DlrMachineAssay::getBuildIdFromFile(const QString &path, int &buildId, int &major, int &minor)
{
    return DlrVersionProbe::fromFile(path, buildId, major, minor);
}

bool DlrMachineAssay::getBuildIdFromExecutable(
        const QString &path, int &buildId, int &major, int &minor, QString &suffix)
{
    return DlrVersionProbe::fromExecutable(path, buildId, major, minor, suffix);
}
