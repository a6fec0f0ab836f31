#pragma once

#include <QProcess>
#include <QString>
#include <QWizardPage>

class DlrMSIProcess;
class DlrManifestElement;
class QLabel;
class QNetworkReply;
class QProgressBar;
class QTimer;

// Third page: works through the application's download queue one product at a time, strictly
// in order. Downloads belong to the application object; installers are DlrMSIProcess objects.
// One progress bar covers the whole queue. The page's own Back button asks before stopping a
// download and never interrupts an install.
class DlrDownload : public QWizardPage
{
    Q_OBJECT

public:
    explicit DlrDownload(QWidget *parent);
    ~DlrDownload() override;

    void initializePage() override;
    void cleanupPage() override;
    bool validatePage() override;
    bool isComplete() const override;

    static constexpr int ProgressMaximum = 1000;
    static constexpr int WhileUWaitLimit = 20;

    // Launches the installer of the product in hand (skips files that are not ".msi").
    void startInstaller();

public Q_SLOTS:
    void back(bool checked);
    void downloadCompleted(int manifestIndex);
    void downloadFailed(const QString &reason, int manifestIndex);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void installerStarts();
    void installerChangedState(QProcess::ProcessState newState);
    void installerError(QProcess::ProcessError error);
    void installerFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void installerReadyStdout();
    void installerReadyStderr();
    void requestNextDownload();
    // Shows the next while-you-wait image and re-arms the slideshow timer.
    void nextWhileUWait();

private:
    // True when there is no current product; otherwise element is set.
    bool currentElement(DlrManifestElement *&element) const;
    void advanceQueue();
    // On to the product at queuePosition after 1 ms or, past the last one, the queue is done and
    // the wizard moves on to the finished page.
    void continueQueue();
    QPixmap whileUWaitPixmap();
    // The end of an install, with the values of the installer's finished signal.
    void handleInstallerEnd(int exitCode, QProcess::ExitStatus exitStatus);
    void setBar(int value);
    int queueLength() const;

    int queuePosition = -1;
    bool queueDone = false;
    QLabel *artworkLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *amountLabel = nullptr;
    int progressStep = 0;
    QNetworkReply *currentReply = nullptr;
    DlrMSIProcess *installerProcess = nullptr;
    bool goBackAfterInstall = false;
    bool downloadStopped = false;
    int whileUWaitIndex = 1;
    bool backButtonConnected = false;
    bool inBackDialog = false;
    bool heldInstallerFinished = false;
    int heldExitCode = 0;
    QProcess::ExitStatus heldExitStatus = QProcess::NormalExit;
    bool heldDownloadCompleted = false;
    int heldManifestIndex = -1;
    bool heldDownloadFailed = false;
    QString heldReason;
    // A gentle slideshow of the while-you-wait images while the page works.
    QTimer *whileUWaitTimer = nullptr;
};
