#include "DlrLog.h"

#include "DlrPlatform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryFile>

#include <QVector>

#include <cstdlib>

namespace {
// Created once, never deleted: the file stays on disk after the run.
QTemporaryFile *s_logFile = nullptr;
// The installer's worker thread logs too; lines are written one at a time.
QMutex s_logMutex;

struct HeldMessage
{
    QtMsgType type;
    QString text;
};
QVector<HeldMessage> s_held;
QtMessageHandler s_toolkitHandler = nullptr;

void holdMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&s_logMutex);
    s_held.append({type, message});
}

const char *prefixFor(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "tessinstaller Debug: ";
    case QtWarningMsg:
        return "tessinstaller Warning: ";
    case QtCriticalMsg:
        return "tessinstaller Critical: ";
    case QtFatalMsg:
        return "tessinstaller Fatal: ";
    case QtInfoMsg:
        return "tessinstaller Info: ";
    }
    return "";
}

// Asking whether a debugger is attached costs a read of /proc on Linux; ask at most once a
// second (called with s_logMutex held).
bool debuggerAttached()
{
    static QElapsedTimer lastAsked;
    static bool attached = false;
    if (!lastAsked.isValid() || lastAsked.elapsed() > 1000) {
        attached = DlrPlatform::debuggerPresent();
        lastAsked.start();
    }
    return attached;
}
} // namespace

void HoldEarlyMessages()
{
    const QtMessageHandler previous = qInstallMessageHandler(holdMessage);
    if (!s_toolkitHandler)
        s_toolkitHandler = previous;
}

void ReleaseHeldMessages()
{
    if (!s_toolkitHandler)
        return; // nothing held
    qInstallMessageHandler(s_toolkitHandler);
    QVector<HeldMessage> held;
    {
        QMutexLocker lock(&s_logMutex);
        held.swap(s_held);
    }
    for (const HeldMessage &message : held)
        s_toolkitHandler(message.type, QMessageLogContext(), message.text);
}

void InitLogFile()
{
    // Never the shared temporary folder: another user could have put a file, or a link, of
    // the log's name there first.
    QString folder, problem;
    if (!DlrPlatform::downloadsFolder(&folder) && !DlrPlatform::temporaryFolder(&folder, &problem))
        folder.clear(); // logging stays off

    const QString pattern = folder + QDir::separator() + QStringLiteral("tessinstaller.XXXXXX.txt");
    auto *file = new QTemporaryFile(pattern);
    file->setAutoRemove(false);
    // A file that cannot be opened leaves logging off; the program goes on. Asking for the
    // name gives the file its name on disk at once (Qt may otherwise keep it unnamed until
    // closed, and a killed process would leave nothing behind).
    if (!folder.isEmpty() && file->open())
        file->fileName();
    QVector<HeldMessage> held;
    {
        QMutexLocker lock(&s_logMutex);
        s_logFile = file;
        held.swap(s_held);
    }
    qInstallMessageHandler(LogMessageHandler);
    for (const HeldMessage &message : held)
        LogMessageHandler(message.type, QMessageLogContext(), message.text);
}

void LogMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const char *prefix = prefixFor(type);
    const QByteArray text = message.toLocal8Bit();
    {
        QMutexLocker lock(&s_logMutex);
        if (!s_logFile || !s_logFile->isOpen())
            return;
        // A message of several lines carries the prefix on each: no line of the file is
        // without its level.
        s_logFile->write(prefix);
        s_logFile->write(QByteArray(text).replace('\n', QByteArray("\n") + prefix));
        s_logFile->write("\n", 1);
        s_logFile->flush();

        if (debuggerAttached()) {
            DlrPlatform::debugOutput(text.constData());
            DlrPlatform::debugOutput("\n");
        }
    }
    if (type == QtFatalMsg)
        std::abort();
}

QString LogFilePath()
{
    QMutexLocker lock(&s_logMutex);
    return s_logFile && s_logFile->isOpen() ? s_logFile->fileName() : QString();
}
