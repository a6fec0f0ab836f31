// Windows side of the platform layer: the shell, the registry, kernel32 and the processor.
// Compiled only on Windows.
#include "DlrPlatform.h"

#include <QDir>
#include <QSettings>

#include <immintrin.h>
#include <intrin.h>
#include <shlobj.h>
#include <windows.h>

namespace DlrPlatform {

static bool knownFolder(REFKNOWNFOLDERID id, QString *path)
{
    PWSTR raw = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &raw);
    const bool ok = (hr == S_OK);
    if (ok)
        *path = QString::fromWCharArray(raw);
    CoTaskMemFree(raw);
    return ok;
}

QString machineRoot()
{
    return QString();
}

bool displayAvailable()
{
    return true;
}

void useHeadlessDisplay() {}

bool downloadsFolder(QString *path)
{
    return knownFolder(FOLDERID_Downloads, path);
}

bool programFilesFolder(QString *path)
{
    return knownFolder(FOLDERID_ProgramFiles, path);
}

bool programFilesSpecialFolder(QString *path)
{
    wchar_t buffer[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_PROGRAM_FILES, FALSE))
        return false;
    *path = QString::fromWCharArray(buffer);
    return true;
}

QStringList registrySubkeys(const QString &key)
{
    return QSettings(key, QSettings::NativeFormat).childGroups();
}

bool freeDiskSpace(const QString &path, qint64 *bytesAvailable)
{
    ULARGE_INTEGER available;
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    if (!GetDiskFreeSpaceExW(native.c_str(), &available, nullptr, nullptr))
        return false;
    *bytesAvailable = static_cast<qint64>(available.QuadPart);
    return true;
}

unsigned long lastError()
{
    return GetLastError();
}

bool debuggerPresent()
{
    return IsDebuggerPresent() != 0;
}

void debugOutput(const char *text)
{
    OutputDebugStringA(text);
}

CpuRegisters readCpuRegisters()
{
    CpuRegisters regs;
    int info[4] = {};
    __cpuid(info, 0);
    regs.maxLeaf = static_cast<uint32_t>(info[0]);
    if (regs.maxLeaf < 1)
        return regs;
    __cpuid(info, 1);
    regs.leaf1Ecx = static_cast<uint32_t>(info[2]);
    regs.leaf1Edx = static_cast<uint32_t>(info[3]);
    if (regs.leaf1Ecx & (1u << 27))
        regs.xcr0 = _xgetbv(0);
    return regs;
}

} // namespace DlrPlatform
