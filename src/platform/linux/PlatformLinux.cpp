// Linux side of the platform layer. The machine it describes is rooted at
// $TESSINSTALLER_ROOT (default "/"), so tests and the demo can hand it a made-up machine:
//   Program Files                          -> <root>/opt
//   HKLM\SOFTWARE\Autodesk\Maya            -> subfolders of <root>/usr/autodesk (maya2024, ...)
//   HKLM\SOFTWARE\Side Effects Software    -> subfolders of <root>/opt named hfs* (hfs20.0.547)
#include "DlrPlatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cpuid.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace DlrPlatform {

namespace {
thread_local unsigned long t_lastError = 0;

QStringList subfolderNames(const QString &folder, const QStringList &nameFilters)
{
    QDir dir(folder);
    if (!dir.exists())
        return {};
    return dir.entryList(nameFilters, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}
} // namespace

QString machineRoot()
{
    const QByteArray root = qgetenv("TESSINSTALLER_ROOT");
    if (root.isEmpty())
        return QStringLiteral("/");
    return QDir::cleanPath(QFile::decodeName(root));
}

static QString underRoot(const QString &relative)
{
    return QDir::cleanPath(machineRoot() + QLatin1Char('/') + relative);
}

bool displayAvailable()
{
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
           || !qEnvironmentVariableIsEmpty("DISPLAY")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void useHeadlessDisplay()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
}

bool downloadsFolder(QString *path)
{
    // The user folders hang off the home folder; without one (Qt would answer "/Downloads")
    // there is no Downloads folder to name, as when the Windows shell has none.
    if (qEnvironmentVariableIsEmpty("HOME"))
        return false;
    const QString location = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (location.isEmpty())
        return false;
    *path = QDir::toNativeSeparators(location);
    return true;
}

bool temporaryFolder(QString *path, QString *problem)
{
    // The shared temporary folder is anyone's to write: a folder of one's own inside it, as
    // ssh-agent and tmux make theirs. One that is there already is taken only when it is ours
    // and closed to others; lstat, so a link planted under the name is no folder.
    const QString folder
            = QDir::tempPath() + QStringLiteral("/tessinstaller-") + QString::number(::getuid());
    const QByteArray native = QFile::encodeName(folder);
    problem->clear();
    struct stat info;
    if ((::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        || ::lstat(native.constData(), &info) != 0) {
        t_lastError = static_cast<unsigned long>(errno);
        *problem = QStringLiteral("%1: %2").arg(folder, errorText(t_lastError));
        return false;
    }
    if (!S_ISDIR(info.st_mode))
        *problem = QStringLiteral("%1 is not a folder").arg(folder);
    else if (info.st_uid != ::getuid())
        *problem = QStringLiteral("%1 belongs to another user").arg(folder);
    else if (info.st_mode & 077)
        *problem = QStringLiteral("%1 lets other users in (mode %2)")
                           .arg(folder)
                           .arg(info.st_mode & 0777, 3, 8, QLatin1Char('0'));
    else
        *path = folder;
    return problem->isEmpty();
}

bool programFilesFolder(QString *path)
{
    *path = underRoot(QStringLiteral("opt"));
    return true;
}

bool programFilesSpecialFolder(QString *path)
{
    return programFilesFolder(path);
}

QStringList registrySubkeys(const QString &key)
{
    const QString normalized = key.toLower();
    if (normalized == QLatin1String("hkey_local_machine\\software\\autodesk\\maya"))
        return subfolderNames(underRoot(QStringLiteral("usr/autodesk")), {});
    if (normalized == QLatin1String("hkey_local_machine\\software\\side effects software"))
        return subfolderNames(underRoot(QStringLiteral("opt")), {QStringLiteral("hfs*")});
    return {};
}

bool freeDiskSpace(const QString &path, qint64 *bytesAvailable)
{
    struct statvfs info;
    if (::statvfs(QFile::encodeName(path).constData(), &info) != 0) {
        t_lastError = static_cast<unsigned long>(errno);
        return false;
    }
    t_lastError = 0;
    *bytesAvailable = static_cast<qint64>(info.f_bavail) * static_cast<qint64>(info.f_frsize);
    return true;
}

unsigned long lastError()
{
    return t_lastError;
}

namespace {
// fsync of whatever path names: a file's data, or a folder's entries.
bool syncPath(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0) {
        t_lastError = static_cast<unsigned long>(errno);
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    t_lastError = synced ? 0 : static_cast<unsigned long>(errno);
    ::close(fd);
    return synced;
}
} // namespace

bool syncFile(const QString &path)
{
    return syncPath(path, O_RDONLY);
}

bool replaceFileDurably(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        t_lastError = static_cast<unsigned long>(errno);
        return false;
    }
    // The new entry itself must reach the disk, or a power loss may bring the old name back.
    const QString folder = QFileInfo(to).absolutePath();
    return syncPath(folder, O_RDONLY | O_DIRECTORY);
}

QString errorText(unsigned long code)
{
    return QString::fromLocal8Bit(std::strerror(static_cast<int>(code)));
}

bool debuggerPresent()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("TracerPid:"))
            return line.mid(10).trimmed().toLongLong() != 0;
    }
    return false;
}

void debugOutput(const char *text)
{
    std::fputs(text, stderr);
}

CpuRegisters readCpuRegisters()
{
    CpuRegisters regs;
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx))
        return regs;
    regs.maxLeaf = eax;
    if (regs.maxLeaf < 1)
        return regs;
    __cpuid(1, eax, ebx, ecx, edx);
    regs.leaf1Ecx = ecx;
    regs.leaf1Edx = edx;
    if (ecx & (1u << 27)) { // OSXSAVE: XGETBV is available
        unsigned int lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        regs.xcr0 = (static_cast<uint64_t>(hi) << 32) | lo;
    }
    return regs;
}

} // namespace DlrPlatform
