#pragma once

#include "DlrMachineAssay.h"

#include <QList>
#include <QString>
#include <QStringList>

// The host applications as Windows records them: Maya and Houdini as subkeys of their vendors'
// registry keys, Katana as folders in Program Files. Everything is asked of the platform layer,
// so the same code surveys a made-up machine on Linux.
class DlrWindowsAssay
{
public:
    // Maya, then Houdini, then Katana records, each in the order the system lists them.
    static QList<InstalledRecord> HostRecords();

    // The version expressions applied to names the registry or Program Files gave.
    static QList<InstalledRecord> MayaRecords(const QStringList &subkeys);
    static QList<InstalledRecord> HoudiniRecords(const QStringList &subkeys);
    static QList<InstalledRecord> KatanaRecords(const QStringList &folderNames);

    static QString MayaKey();
    static QString HoudiniKey();

private:
    static QList<InstalledRecord> KatanaFolders();
};
