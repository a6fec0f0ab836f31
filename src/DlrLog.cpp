#include "DlrLog.h"

#include "DlrPlatform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryFile>

#include <cstdlib>

namespace {
// Created once, never deleted: the file stays on disk after the run.
QTemporaryFile *s_logFile = nullptr;
// The installer's worker thread logs too; lines are written one at a time.
QMutex s_logMutex;

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
        break;
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

void InitLogFile()
{
    QString folder;
    if (!DlrPlatform::downloadsFolder(&folder))
        folder = QDir(QDir::tempPath()).absolutePath();

    const QString pattern = folder + QDir::separator() + QStringLiteral("tessinstaller.XXXXXX.txt");
    auto *file = new QTemporaryFile(pattern);
    file->setAutoRemove(false);
    // A file that cannot be opened leaves logging off; the program goes on. Asking for the
    // name gives the file its name on disk at once (Qt may otherwise keep it unnamed until
    // closed, and a killed process would leave nothing behind).
    if (file->open())
        file->fileName();
    {
        QMutexLocker lock(&s_logMutex);
        s_logFile = file;
    }
    qInstallMessageHandler(LogMessageHandler);
}

void LogMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QByteArray text = message.toLocal8Bit();
    {
        QMutexLocker lock(&s_logMutex);
        if (!s_logFile || !s_logFile->isOpen())
            return;
        s_logFile->write(prefixFor(type));
        s_logFile->write(text);
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
