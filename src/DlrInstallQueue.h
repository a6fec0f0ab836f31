#pragma once

#include "DlrMessageBox.h"
#include "DlrPackageCheck.h"
#include "DlrTransferRate.h"

#include <QElapsedTimer>

#include <QHash>
#include <QObject>
#include <QProcess>
#include <QString>

#include <functional>

class DlrApp;
class DlrMSIProcess;
class DlrManifestElement;

// Works through the application's download queue one product at a time, strictly in order:
// download, then install, then the next. A run without questions may let the downloads of the
// next products go ahead while one installs (one download at a time, a few ahead at most;
// installs stay one at a time and in order; a download that failed ahead is handled when its
// product's turn comes). It owns no widget: what a page would show comes out
// as signals, and a box it needs answered goes out as boxNeeded and comes back through
// answerBox (at once or later), so a window or an unattended driver can run it alike.
class DlrInstallQueue : public QObject
{
    Q_OBJECT

public:
    enum class Stage { Idle, Downloading, Installing, Done };
    // What happens to a product as its turn comes, for a driver that reports each step.
    enum class Step { Downloading, FoundOnDisk, Installing, NotAPackage };

    explicit DlrInstallQueue(DlrApp *app, QObject *parent = nullptr);
    ~DlrInstallQueue() override;

    // Starts over at the first product of the queue.
    void start();
    // While a product installs, up to this many of the next ones download (0: strict order).
    void setDownloadsAhead(int count) { aheadLimit = count; }
    // Downloads only: each product's file is made complete and checked, nothing is installed.
    void setInstalling(bool install) { installs = install; }
    // The user asks to go back: at once when nothing runs, after a question otherwise.
    void back();
    // The answer to the box of that identifier.
    void answerBox(const QString &id, QMessageBox::StandardButton answer);
    // Ends the run where it stands: a download under way is dropped, no box is waited for and
    // nothing further starts (an installer under way ends with this object).
    void stop();

    Stage stage() const { return currentStage; }
    // Index into the download queue of the product in hand; -1 before the start and when done.
    int position() const { return queuePosition; }
    bool isDone() const { return queuePosition == -1 && currentStage == Stage::Done; }

public Q_SLOTS:
    void requestNextDownload();
    void downloadCompleted(int manifestIndex);
    void downloadFailed(const QString &reason, int manifestIndex);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    // Launches the installer of the product in hand (skips files that are not ".msi").
    void startInstaller();
    void installerStarts();
    void installerChangedState(QProcess::ProcessState newState);
    void installerError(QProcess::ProcessError error);
    void installerFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void installerReadyStdout();
    void installerReadyStderr();

Q_SIGNALS:
    void progressChanged(int value); // of 0..ProgressMaximum over the whole queue
    void statusChanged(const QString &text);
    void amountChanged(const QString &text);
    // The speed and time left of the transfer in hand; empty when there is none.
    void rateChanged(const QString &text);
    void boxNeeded(const DlrMessageBox::Spec &box);
    void stepReached(int manifestIndex, DlrInstallQueue::Step step);
    void downloadAdvanced(qint64 bytesReceived, qint64 bytesTotal);
    // One download attempt ended: the bytes it fetched over the network (over every request
    // it took, none of those already on disk), its time, and its failure (null when the file
    // is complete).
    void downloadAttemptEnded(int manifestIndex,
                              qint64 bytesFetched,
                              qint64 elapsedMs,
                              const QString &failure);
    void installerAdvanced(float percent);
    // The Windows Installer's own return code, which the wizard does not act on.
    void installerEnded(int manifestIndex, int returnCode, qint64 elapsedMs);
    // The package failed its checks just before its install and is not installed.
    void packageRefused(int manifestIndex, const QString &reason);
    void goBack();
    // Every product has been worked through.
    void queueFinished();
    // The run must end with this exit code (the user aborted, or nothing could start).
    void runStopped(int exitCode);

public:
    static constexpr int ProgressMaximum = 1000;

private:
    // True when there is no current product; otherwise element is set.
    bool currentElement(DlrManifestElement *&element) const;
    int currentIndex() const;
    int queueLength() const;
    void advanceQueue();
    // The manifest index at a position of the download queue, or -1.
    int indexAt(int position) const;
    // Starts the download of the next product ahead of the install, when one may start.
    void startAhead();
    // A download that ran ahead ended; false when it was not one.
    bool aheadEnded(int manifestIndex, const QString &failure);
    // The failure of the product in hand, put to whoever answers the queue's boxes.
    void askAfterFailure(const QString &reason);
    // On to the product at queuePosition after 1 ms or, past the last one, done.
    void continueQueue();
    void handleInstallerEnd(int exitCode, QProcess::ExitStatus exitStatus);
    void ask(const DlrMessageBox::Spec &box,
             std::function<void(QMessageBox::StandardButton)> then = nullptr);
    void ask(const char *id,
             const QString &text,
             const QString &informativeText,
             QMessageBox::StandardButtons buttons,
             QMessageBox::StandardButton defaultButton,
             std::function<void(QMessageBox::StandardButton)> then = nullptr);

    DlrApp *app;
    int queuePosition = -1;
    Stage currentStage = Stage::Idle;
    int progressStep = 0;
    DlrMSIProcess *installerProcess = nullptr;
    bool goBackAfterInstall = false;
    bool downloadStopped = false;
    bool inBackDialog = false;
    bool stopped = false;
    qint64 attemptBytes = 0;
    QElapsedTimer installClock;
    // What arrived while a Back question was open, to be handled once it is answered.
    std::function<void()> deferred;
    DlrTransferRate transferRate;
    QElapsedTimer transferClock;
    qint64 rateShownAtMs = 0;
    QHash<QString, std::function<void(QMessageBox::StandardButton)>> waitingForAnswer;
    bool installs = true;
    int aheadLimit = 0;
    int aheadPosition = -1; // of the download running ahead; -1 when none
    qint64 aheadBytes = 0;
    QElapsedTimer aheadClock;
    // How the downloads that ran ahead ended, by position: null when complete, else why not.
    QHash<int, QString> aheadResults;
    bool waitingForAhead = false; // the product in hand waits for the download ahead to end
    DlrPackageCheck packageCheck;
};
