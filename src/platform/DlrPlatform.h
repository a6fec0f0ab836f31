#pragma once

// The platform layer: the only place that calls operating-system interfaces.
// Windows implements these with the shell, the registry, kernel32, user32 and msi.dll;
// Linux implements them for real against a machine rooted at $TESSINSTALLER_ROOT
// (default "/"), so that the same application code runs and is tested on both.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdint>
#include <memory>

namespace DlrPlatform {

// --- Shell folders ---------------------------------------------------------------------------

// The user's Downloads known folder, native separators. False when the shell cannot give it.
bool downloadsFolder(QString *path);
// The Program Files known folder. False when the lookup fails.
bool programFilesFolder(QString *path);
// The Program Files special folder (not created when missing). False when the lookup fails.
bool programFilesSpecialFolder(QString *path);

// The user's own temporary folder ("/" separators), which no other user can open: Windows'
// per-user Temp folder; on Linux <temp>/tessinstaller-<uid>, made with mode 0700 when missing.
// False, with *problem saying why, when it cannot be made, or when another user owns it or its mode
// lets others in: nothing may then be read from or written into it.
bool temporaryFolder(QString *path, QString *problem);

// Root of the machine the Linux layer surveys and installs into ($TESSINSTALLER_ROOT, default
// "/"). On Windows, the empty string.
QString machineRoot();

// Whether the windowing system can be reached at all (on Linux: a display, or a platform plugin
// chosen through QT_QPA_PLATFORM). Without one the toolkit would abort at start-up.
bool displayAvailable();
// Chooses a windowing platform that needs no display, for runs that show no window.
void useHeadlessDisplay();

// --- Registry ----------------------------------------------------------------------------------

// Names of the subkeys of a key below HKEY_LOCAL_MACHINE, given as the full native path
// ("HKEY_LOCAL_MACHINE\SOFTWARE\Autodesk\Maya"). A missing key has no subkeys.
QStringList registrySubkeys(const QString &key);

// --- Kernel ------------------------------------------------------------------------------------

// Bytes available to the calling user on the volume of path. False on failure, with
// lastError() telling why. A missing path fails.
bool freeDiskSpace(const QString &path, qint64 *bytesAvailable);
// The calling thread's last system error code (GetLastError / errno).
unsigned long lastError();
// The system's own text for such a code ("No space left on device").
QString errorText(unsigned long code);

bool debuggerPresent();
// Text for an attached debugger (OutputDebugStringA / standard error).
void debugOutput(const char *text);

// --- Files that survive a power loss ------------------------------------------------------------

// Makes the bytes of a written file reach the disk (fsync / FlushFileBuffers); the file is
// opened by its path for that. False on failure, lastError() telling why.
bool syncFile(const QString &path);
// Gives a complete file (already synced) a new name, replacing any file of that name, so that
// after a power loss the name holds either the old file or the new one: the rename, then the
// folder's entry to disk (MoveFileEx with write-through on Windows). False on failure.
bool replaceFileDurably(const QString &from, const QString &to);

// --- Processor ---------------------------------------------------------------------------------

struct CpuRegisters
{
    uint32_t maxLeaf = 0;  // leaf 0, EAX
    uint32_t leaf1Ecx = 0; // leaf 1, ECX (0 when maxLeaf < 1)
    uint32_t leaf1Edx = 0; // leaf 1, EDX (0 when maxLeaf < 1)
    uint64_t xcr0 = 0;     // XCR0 (0 unless OSXSAVE is set)
};
CpuRegisters readCpuRegisters();

// --- Cryptography ------------------------------------------------------------------------------

// Streaming SHA-256 through the system's crypto library (OpenSSL's libcrypto / Windows CNG),
// which uses the processor's SHA instructions: a download is digested as it streams to disk
// at about ten times the speed of the toolkit's own implementation.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, qint64 length);
    // The digest of everything added so far, 64 lowercase hex digits; more data may follow.
    // Empty when the crypto library failed.
    QByteArray hexResult() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// --- User32 message boxes (may be called from any thread) --------------------------------------

// The values are user32's MB_* flags and ID* answers, and the installer's return codes below
// are its ERROR_* codes. They carry names of their own because <windows.h> defines the Win32
// names as macros, which would rewrite these declarations wherever it is included first.
enum : unsigned int {
    BoxOk = 0x0,
    BoxOkCancel = 0x1,
    BoxAbortRetryIgnore = 0x2,
    BoxYesNoCancel = 0x3,
    BoxYesNo = 0x4,
    BoxRetryCancel = 0x5,
    BoxTypeMask = 0xF,
    BoxIconError = 0x10,
    BoxIconQuestion = 0x20,
    BoxIconWarning = 0x30,
    BoxIconInformation = 0x40,
    BoxIconMask = 0xF0,
    BoxDefaultButton1 = 0x000,
    BoxDefaultButton2 = 0x100,
    BoxDefaultButton3 = 0x200,
    BoxDefaultMask = 0xF00,
};

enum : int {
    AnswerOk = 1,
    AnswerCancel = 2,
    AnswerAbort = 3,
    AnswerRetry = 4,
    AnswerIgnore = 5,
    AnswerYes = 6,
    AnswerNo = 7,
};

int messageBoxA(const char *text, const char *caption, unsigned int type);
int messageBoxExA(const char *text,
                  const char *caption,
                  unsigned int type,
                  unsigned short language);
bool messageBeep(unsigned int type);

// --- Windows Installer -------------------------------------------------------------------------

enum : unsigned int {
    INSTALLMESSAGE_FATALEXIT = 0x00000000,
    INSTALLMESSAGE_ERROR = 0x01000000,
    INSTALLMESSAGE_WARNING = 0x02000000,
    INSTALLMESSAGE_USER = 0x03000000,
    INSTALLMESSAGE_INFO = 0x04000000,
    INSTALLMESSAGE_FILESINUSE = 0x05000000,
    INSTALLMESSAGE_RESOLVESOURCE = 0x06000000,
    INSTALLMESSAGE_OUTOFDISKSPACE = 0x07000000,
    INSTALLMESSAGE_ACTIONSTART = 0x08000000,
    INSTALLMESSAGE_ACTIONDATA = 0x09000000,
    INSTALLMESSAGE_PROGRESS = 0x0A000000,
    INSTALLMESSAGE_COMMONDATA = 0x0B000000,
    INSTALLMESSAGE_INITIALIZE = 0x0C000000,
    INSTALLMESSAGE_TERMINATE = 0x0D000000,
    INSTALLMESSAGE_SHOWDIALOG = 0x0E000000,
};

enum : unsigned int {
    InstallSuccess = 0,
    InstallUserExit = 1602,
    InstallFailure = 1603,
    InstallPackageOpenFailed = 1619,
    InstallPackageInvalid = 1620,
    InstallAlreadyRunning = 1618,
    InstallInvalidCommandLine = 1639,
};

// User-interface levels of msiSetInternalUI.
enum : int {
    INSTALLUILEVEL_NOCHANGE = 0,
    INSTALLUILEVEL_DEFAULT = 1,
    INSTALLUILEVEL_NONE = 2,
    INSTALLUILEVEL_BASIC = 3,
    INSTALLUILEVEL_REDUCED = 4,
    INSTALLUILEVEL_FULL = 5,
    INSTALLUILEVEL_SOURCERESONLY = 0x100,
};

// The external user-interface handler: context, message type (kind in the top byte, box
// flags in the low 24 bits), message text. Returns the answer given to the installer.
typedef int (*InstallUiHandler)(void *context, unsigned int messageType, const char *message);

int msiSetInternalUI(int level, void **window);
InstallUiHandler msiSetExternalUIA(InstallUiHandler handler, unsigned int filter, void *context);
unsigned int msiInstallProductA(const char *packagePath, const char *commandLine);

} // namespace DlrPlatform
