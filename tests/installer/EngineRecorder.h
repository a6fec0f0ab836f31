#pragma once

// Helpers shared by the installer tests: a handler that records what the package engine sends
// and answers its questions, and a snapshot of a folder tree to prove nothing changed.

#include "DlrPlatform.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QScopedPointer>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <sys/resource.h>

namespace TessTest {

struct EngineMessage
{
    unsigned int kind = 0; // the top byte, shifted down
    unsigned int flags = 0;
    QByteArray text;
};

class EngineRecorder
{
public:
    QList<EngineMessage> messages;
    // Answers an error, warning or fatal-exit message; IDOK when not set.
    std::function<int(const EngineMessage &)> answerBox;
    // Answers progress messages; 1 when not set (IDCANCEL cancels).
    std::function<int(const EngineMessage &)> answerProgress;

    static int handler(void *context, unsigned int messageType, const char *message);

    // Installs through the platform layer with this recorder as the external handler.
    unsigned int install(const QString &package,
                         unsigned int filter = 0x7FFF,
                         const char *commandLine = "ACTION=INSTALL REBOOT=ReallySurpress");

    QList<EngineMessage> ofKind(unsigned int kind) const;
    // The kinds in order, with runs of the same kind collapsed: e.g. 12 11 4 8 10 9 10 ...
    QList<unsigned int> kindSequence() const;
};

// Path below the folder -> "mode:sha1" for files, "dir" for folders; hidden entries included.
QMap<QString, QString> snapshot(const QString &folder);

// What the installer test programs share: a folder of packages and a made-up machine.
class InstallerTestCase : public QObject
{
protected:
    QTemporaryDir packages;
    QScopedPointer<QTemporaryDir> machine;
    QString programFiles;

    QString pkg(const QString &name) const { return packages.filePath(name); }
    // A new, empty machine that the platform layer installs into.
    void newMachine();
};

// A file's bytes, or "<missing>".
QByteArray readFile(const QString &path);

// A real file-size limit for this whole process, as a full disk would stop the writer
// (SIGXFSZ ignored, so a write past it fails with EFBIG).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit() { lift(); }
    void lift();

private:
    rlimit saved{};
};

} // namespace TessTest
