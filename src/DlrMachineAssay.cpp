#include "DlrMachineAssay.h"

#include "DlrPlatform.h"

// NOT YET BUILT: the survey itself. Only the single object and the Downloads folder exist.

DlrMachineAssay::DlrMachineAssay() = default;

DlrMachineAssay *DlrMachineAssay::Instance()
{
    static DlrMachineAssay *single = new DlrMachineAssay;
    return single;
}

void DlrMachineAssay::DoAssay()
{
    records.clear();
}

QString DlrMachineAssay::GetDownloadsFolder()
{
    QString folder;
    if (DlrPlatform::downloadsFolder(&folder))
        return QDir::fromNativeSeparators(folder);
    return QDir::home().absolutePath() + QStringLiteral("/Downloads");
}
