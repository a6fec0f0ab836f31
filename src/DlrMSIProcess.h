#pragma once

#include "DlrProgressRecord.h"

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class QThread;

class DlrMSIWorker;

// Installs one Windows Installer package on a worker thread while looking like a QProcess to
// the download page: the same signals, the same few operations. Every package ends with exit
// code 0 and a normal exit; the installer's own error boxes are what the user sees.
class DlrMSIProcess : public QObject
{
    Q_OBJECT

public:
    explicit DlrMSIProcess(QObject *parent = nullptr);
    ~DlrMSIProcess() override;

    // Accepted and ignored: the installer runs in this process.
    void setProcessEnvironment(const QProcessEnvironment &environment);
    // program is the package path; arguments and mode are ignored. Emits started() at once.
    void start(const QString &program, const QStringList &arguments, QIODevice::OpenMode mode);

    QByteArray readAllStandardOutput();
    QByteArray readAllStandardError();
    // The Windows Installer's return code once the install has ended (0 success, 3010 success
    // needing a restart, 1603, 1619, 1620 and the like on failure); -1 before. The wizard does
    // not look at it; a run without questions does.
    int installerResult() const { return result->load(); }

signals:
    void error(QProcess::ProcessError error);
    void finished(int exitCode, QProcess::ExitStatus exitStatus);
    void readyReadStandardError();
    void readyReadStandardOutput();
    void started();
    void stateChanged(QProcess::ProcessState newState);

private slots:
    void workerError(QString message);
    void workerFinished();
    void workerHasOutput(QByteArray data);

private:
    QByteArray output;
    QPointer<QThread> thread; // the worker deletes itself on it, then the thread goes
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<int>> result = std::make_shared<std::atomic<int>>(-1);
};

// Lives on the worker thread: calls the Windows Installer and turns the messages of its
// external user-interface handler into boxes (or their automatic answers) and "installer:%"
// progress lines.
class DlrMSIWorker : public QObject
{
    Q_OBJECT

public:
    DlrMSIWorker(const QString &packagePath, QObject *parent = nullptr);
    ~DlrMSIWorker() override;

    Q_INVOKABLE QByteArray *GetBuffer() { return outputBuffer; }
    // Once set, the handler answers every message that can stop the installer with cancel.
    void setCancelFlag(std::shared_ptr<std::atomic<bool>> flag) { cancel = std::move(flag); }
    // Where the installer's return code goes before finished() is emitted.
    void setResultSlot(std::shared_ptr<std::atomic<int>> slot) { result = std::move(slot); }

    // The Windows Installer's external handler; the context is the worker.
    static int installerUiHandler(void *context, unsigned int messageType, const char *message);

signals:
    void finished();
    void gotOutput(QByteArray buffer);
    void error(QString error);

public slots:
    void process();

private:
    // A fatal error (kind 0), error (1) or warning (2): the automatic answer of a run without
    // questions, or the box, logged either way.
    int askUser(unsigned int kind, const char *message, unsigned int flags);
    void parseCommonData(const char *message);
    void parseProgressMessage(const char *message);

    QString packagePath;
    QByteArray *outputBuffer = nullptr;
    int messageLanguage = 0;
    DlrProgressRecord progress; // total, done, direction, script flag, increment
    std::shared_ptr<std::atomic<bool>> cancel;
    std::shared_ptr<std::atomic<int>> result;
};
