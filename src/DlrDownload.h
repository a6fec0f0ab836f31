#pragma once

#include "DlrInstallQueue.h"

#include <QProcess>
#include <QString>
#include <QWizardPage>

class DlrApp;
class QLabel;
class QProgressBar;
class QTimer;

// Third page: shows a DlrInstallQueue working through the application's download queue, one
// product at a time, with one progress bar over the whole queue, and asks the boxes it needs.
// The page's own Back button asks before stopping a download and never interrupts an install.
class DlrDownload : public QWizardPage
{
    Q_OBJECT

public:
    DlrDownload(DlrApp *app, QWidget *parent);

    void initializePage() override;
    void cleanupPage() override;
    bool validatePage() override;
    bool isComplete() const override;

    static constexpr int ProgressMaximum = DlrInstallQueue::ProgressMaximum;
    static constexpr int WhileUWaitLimit = 20;

    DlrInstallQueue *installQueue() const { return queue; }
    void startInstaller() { queue->startInstaller(); }

public Q_SLOTS:
    void back(bool) { queue->back(); }
    void downloadCompleted(int manifestIndex) { queue->downloadCompleted(manifestIndex); }
    void downloadFailed(const QString &reason, int manifestIndex)
    {
        queue->downloadFailed(reason, manifestIndex);
    }
    void downloadProgress(qint64 received, qint64 total)
    {
        queue->downloadProgress(received, total);
    }
    void installerStarts() { queue->installerStarts(); }
    void installerChangedState(QProcess::ProcessState state)
    {
        queue->installerChangedState(state);
    }
    void installerError(QProcess::ProcessError error) { queue->installerError(error); }
    void installerFinished(int exitCode, QProcess::ExitStatus exitStatus)
    {
        queue->installerFinished(exitCode, exitStatus);
    }
    void installerReadyStdout() { queue->installerReadyStdout(); }
    void installerReadyStderr() { queue->installerReadyStderr(); }
    void requestNextDownload() { queue->requestNextDownload(); }
    // Shows the next while-you-wait image and re-arms the slideshow timer.
    void nextWhileUWait();

private:
    void askBox(const DlrMessageBox::Spec &box);
    void queueDone();
    QPixmap whileUWaitPixmap();

    DlrApp *app;
    DlrInstallQueue *queue;
    QLabel *artworkLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *amountLabel = nullptr;
    QLabel *rateLabel = nullptr;
    int whileUWaitIndex = 1;
    bool backButtonConnected = false;
    // A gentle slideshow of the while-you-wait images while the page works.
    QTimer *whileUWaitTimer = nullptr;
};
