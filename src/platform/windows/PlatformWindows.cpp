// Windows side of the platform layer: the shell, the registry, kernel32 and the processor.
// Compiled only on Windows.
// <windows.h> comes first on purpose: the layer's header must not depend on include order.
#include <windows.h>

#include <intrin.h>
#include <shlobj.h>

#include "DlrPlatform.h"

#include <QDir>
#include <QSettings>

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

bool temporaryFolder(QString *path, QString *problem)
{
    // Windows gives every user a Temp folder of their own (under the profile), closed to others.
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) {
        *problem = QStringLiteral("no temporary folder: %1").arg(errorText(GetLastError()));
        return false;
    }
    const QString folder = QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
    if (!QDir().mkpath(folder)) {
        *problem = QStringLiteral("%1 cannot be made").arg(folder);
        return false;
    }
    *path = QDir::cleanPath(folder);
    return true;
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

QString errorText(unsigned long code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                                | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(code), 0,
                                        reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString result = length ? QString::fromWCharArray(text, int(length)).trimmed()
                                  : QStringLiteral("system error %1").arg(code);
    LocalFree(text);
    return result;
}

bool syncFile(const QString &path)
{
    // The cache is the file's, not the handle's: flushing through a handle of our own writes
    // out what any handle wrote.
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const HANDLE file = CreateFileW(native.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = FlushFileBuffers(file) != 0;
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(flushed ? 0 : error);
    return flushed;
}

bool replaceFileDurably(const QString &from, const QString &to)
{
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring target = QDir::toNativeSeparators(to).toStdWString();
    return MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
           != 0;
}

bool debuggerPresent()
{
    return IsDebuggerPresent() != 0;
}

void debugOutput(const char *text)
{
    OutputDebugStringA(text);
}

// XGETBV is only legal once the system has enabled it (OSXSAVE), which the caller checks; the
// target attribute lets the compiler emit it without building the whole file for XSAVE.
__attribute__((target("xsave"))) static uint64_t readXcr0()
{
    return _xgetbv(0);
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
        regs.xcr0 = readXcr0();
    return regs;
}

} // namespace DlrPlatform
