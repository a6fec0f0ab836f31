#pragma once

// Shared by the installer tests: a handler that records what the package engine sends and
// answers its questions, a snapshot of a folder tree to prove nothing changed, and a real
// file-size limit that stops the writer as a full disk would.

#include "DlrPlatform.h"

#include <QList>
#include <QMap>
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
    // Answers error, warning and fatal-exit messages (AnswerOk when unset) and progress messages
    // (1 when unset; AnswerCancel cancels).
    std::function<int(const EngineMessage &)> answerBox, answerProgress;

    // Installs through the platform layer with this recorder as the external handler.
    unsigned int install(const QString &package,
                         unsigned int filter = 0x7FFF,
                         const char *commandLine = "ACTION=INSTALL");
    QList<EngineMessage> ofKind(unsigned int kind) const;
};

// Path below the folder -> "mode:sha1" for files, "dir" for folders; hidden entries included.
QMap<QString, QString> snapshot(const QString &folder);
// A new, empty machine that the platform layer installs into; its Program Files folder.
QString newMachine(QScopedPointer<QTemporaryDir> &machine);
QByteArray readFile(const QString &path); // or "<missing>"

// SIGXFSZ is ignored, so a write past the limit fails with EFBIG.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit() { lift(); }
    void lift() { setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved{};
};

} // namespace TessTest
