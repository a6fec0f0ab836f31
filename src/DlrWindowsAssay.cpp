#include "DlrWindowsAssay.h"

#include "DlrPlatform.h"

#include <QDebug>
#include <QDir>
#include <QRegularExpression>

namespace {

// Host versions come from names only, never from values under the keys.
QList<InstalledRecord> recordsFromNames(const QString &productName,
                                        const QRegularExpression &expression,
                                        const QStringList &names,
                                        const char *foundLine)
{
    QList<InstalledRecord> found;
    for (const QString &name : names) {
        const QRegularExpressionMatch match = expression.match(name);
        if (!match.hasMatch())
            continue; // other entries under the key, such as Capabilities
        InstalledRecord record;
        record.insert(QStringLiteral("ProductName"), productName);
        record.insert(QStringLiteral("Version"), match.captured(1));
        if (foundLine)
            qDebug() << foundLine << record;
        found.append(record);
    }
    return found;
}

} // namespace

QString DlrWindowsAssay::MayaKey()
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\Maya");
}

QString DlrWindowsAssay::HoudiniKey()
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Side Effects Software");
}

QList<InstalledRecord> DlrWindowsAssay::MayaRecords(const QStringList &subkeys)
{
    static const QRegularExpression expression(QStringLiteral("(20[0-9][0-9]\\.?[0-9]?)"));
    return recordsFromNames(QStringLiteral("Maya"), expression, subkeys,
                            "Found installed Maya in registry");
}

QList<InstalledRecord> DlrWindowsAssay::HoudiniRecords(const QStringList &subkeys)
{
    // A subkey named for the full version (19.5.303) gives major.minor.
    static const QRegularExpression expression(QStringLiteral("([1-9][0-9]\\.[0-9])"));
    return recordsFromNames(QStringLiteral("Houdini"), expression, subkeys,
                            "Found installed Houdini in registry");
}

QList<InstalledRecord> DlrWindowsAssay::KatanaRecords(const QStringList &folderNames)
{
    static const QRegularExpression expression(QStringLiteral("katana(\\d+\\.\\d+)"),
                                               QRegularExpression::CaseInsensitiveOption);
    return recordsFromNames(QStringLiteral("Katana"), expression, folderNames, nullptr);
}

QList<InstalledRecord> DlrWindowsAssay::KatanaFolders()
{
    QString programFiles;
    if (!DlrPlatform::programFilesFolder(&programFiles))
        return {};
    // Name filters of QDir ignore case, as the Windows file system does.
    const QStringList names = QDir(programFiles)
                                      .entryList({QStringLiteral("Katana*")},
                                                 QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    return KatanaRecords(names);
}

QList<InstalledRecord> DlrWindowsAssay::HostRecords()
{
    QList<InstalledRecord> hosts = MayaRecords(DlrPlatform::registrySubkeys(MayaKey()));
    hosts += HoudiniRecords(DlrPlatform::registrySubkeys(HoudiniKey()));
    hosts += KatanaFolders();
    return hosts;
}
