#include "DlrInstallQueue.h"

#include "DlrApp.h"
#include "DlrMSIProcess.h"
#include "DlrMakerKeys.h"
#include "DlrQueueProgress.h"
#include "DlrTexts.h"

#include <QDebug>
#include <QTimer>

DlrInstallQueue::DlrInstallQueue(DlrApp *app, QObject *parent)
    : QObject(parent)
    , app(app)
    , packageCheck(DlrMakerKeys::publisherSha256())
{
    connect(app, QOverload<int>::of(&DlrApp::finishedDownload), this, [this](int manifestIndex) {
        if (!aheadEnded(manifestIndex, QString()))
            downloadCompleted(manifestIndex);
    });
    connect(app, &DlrApp::failedDownload, this, [this](const QString &reason, int manifestIndex) {
        if (!aheadEnded(manifestIndex, reason))
            downloadFailed(reason, manifestIndex);
    });
    connect(app, &DlrApp::downloadProgress, this,
            [this](qint64 received, qint64 total, qint64 fetched) {
                if (aheadPosition >= 0) {
                    aheadBytes = fetched;
                    return; // the page and the progress lines follow the product in hand
                }
                if (currentStage == Stage::Downloading)
                    attemptBytes = fetched;
                downloadProgress(received, total);
            });
}

DlrInstallQueue::~DlrInstallQueue()
{
    // Deleting the installer object cancels an install under way and waits for its end.
    delete installerProcess;
}

int DlrInstallQueue::queueLength() const
{
    return app->getDownloadQueue().size();
}

bool DlrInstallQueue::currentElement(DlrManifestElement *&element) const
{
    const QList<int> queue = app->getDownloadQueue();
    if (queuePosition < 0 || queuePosition >= queue.size())
        return true;
    const int index = queue.at(queuePosition);
    QList<DlrManifestElement> &manifest = app->manifestList();
    if (index < 0 || index >= manifest.size())
        return true;
    element = &manifest[index];
    return false;
}

int DlrInstallQueue::indexAt(int position) const
{
    const QList<int> queue = app->getDownloadQueue();
    return position >= 0 && position < queue.size() ? queue.at(position) : -1;
}

int DlrInstallQueue::currentIndex() const
{
    return indexAt(queuePosition);
}

void DlrInstallQueue::ask(const DlrMessageBox::Spec &box,
                          std::function<void(QMessageBox::StandardButton)> then)
{
    // Kept before the box goes out: the answer may come back before emit returns.
    waitingForAnswer.insert(
            box.id, then ? then : [](QMessageBox::StandardButton) {});
    Q_EMIT boxNeeded(box);
}

void DlrInstallQueue::ask(const char *id,
                          const QString &text,
                          const QString &informativeText,
                          QMessageBox::StandardButtons buttons,
                          QMessageBox::StandardButton defaultButton,
                          std::function<void(QMessageBox::StandardButton)> then)
{
    DlrMessageBox::Spec box;
    box.id = QLatin1String(id);
    box.icon = QMessageBox::Critical;
    box.text = text;
    box.informativeText = informativeText;
    box.buttons = buttons;
    box.defaultButton = defaultButton;
    ask(box, std::move(then));
}

void DlrInstallQueue::answerBox(const QString &id, QMessageBox::StandardButton answer)
{
    const auto then = waitingForAnswer.take(id);
    if (then)
        then(answer);
    else
        qWarning() << "Answer" << answer << "to a box nobody asked for:" << id;
}

void DlrInstallQueue::start()
{
    Q_EMIT progressChanged(0);
    queuePosition = 0;
    currentStage = Stage::Idle;
    installerProcess = nullptr;
    goBackAfterInstall = false;
    downloadStopped = false;
    stopped = false;
    aheadPosition = -1;
    aheadResults.clear();
    waitingForAhead = false;
    packageCheck.prepare();
    Q_EMIT amountChanged(QString());
    requestNextDownload();
}

// ---------------------------------------------------------------------------------------------
// Downloads

void DlrInstallQueue::stop()
{
    stopped = true;
    waitingForAnswer.clear();
    deferred = nullptr;
    if (currentStage == Stage::Downloading || aheadPosition >= 0) {
        downloadStopped = true;
        app->abortDownload();
    }
}

void DlrInstallQueue::requestNextDownload()
{
    if (stopped)
        return;
    Q_EMIT amountChanged(QString());
    Q_EMIT rateChanged(QString());
    transferRate.reset();
    transferClock.start();
    rateShownAtMs = 0;
    const int n = queueLength();
    if (queuePosition < 0 || queuePosition >= n) {
        qWarning() << "requestNextDownload made with nothing to do" << queuePosition;
        return;
    }
    progressStep = DlrQueueProgress::step(n);
    Q_EMIT progressChanged(DlrQueueProgress::requestValue(queuePosition, progressStep));

    DlrManifestElement *element = nullptr;
    if (currentElement(element)) {
        // The selection page never queues such an entry; skip it rather than stop the run.
        qWarning() << "requestNextDownload: queue entry"
                   << app->getDownloadQueue().at(queuePosition)
                   << "is not in the product list, skipping it";
        advanceQueue();
        return;
    }
    const int index = currentIndex();
    if (aheadPosition == queuePosition) { // its download runs ahead: it is now the one in hand
        aheadPosition = -1;
        currentStage = Stage::Downloading;
        attemptBytes = aheadBytes;
        transferClock = aheadClock;
        return;
    }
    if (aheadResults.contains(queuePosition)) { // its download ran ahead and has ended
        const QString failure = aheadResults.take(queuePosition);
        if (failure.isNull()) {
            currentStage = Stage::Idle;
            startInstaller();
        } else {
            askAfterFailure(failure);
        }
        return;
    }
    if (element->downloaded) {
        Q_EMIT stepReached(index, Step::FoundOnDisk);
        downloadCompleted(queuePosition);
        return;
    }
    if (aheadPosition >= 0) { // one download at a time: this one waits for the one ahead
        waitingForAhead = true;
        return;
    }

    const QString label = element->label();
    Q_EMIT statusChanged(QStringLiteral("Downloading ") + label + QStringLiteral("..."));
    if (app->DownloadProduct(index)) {
        currentStage = Stage::Downloading;
        attemptBytes = 0;
        Q_EMIT stepReached(index, Step::Downloading);
        return;
    }
    ask(DlrBox::DownloadCannotStart, QStringLiteral("There Was An Error Downloading"),
        QStringLiteral("While processing") + label
                + QStringLiteral(". If this error persists contact customer support. Press Ok to "
                                 "exit the application"),
        QMessageBox::Ok, QMessageBox::Ok, [this](QMessageBox::StandardButton) {
            Q_EMIT runStopped(DlrExitCode::DownloadCannotStart);
        });
}

void DlrInstallQueue::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (currentStage != Stage::Downloading)
        return;
    Q_EMIT progressChanged(DlrQueueProgress::downloadValue(queuePosition, progressStep,
                                                           bytesReceived, bytesTotal));
    Q_EMIT downloadAdvanced(bytesReceived, bytesTotal);
    // Without a total (the server did not say) only the count so far means anything.
    Q_EMIT amountChanged(bytesTotal > 0
                                 ? sizeText(bytesReceived) + QLatin1Char('/') + sizeText(bytesTotal)
                                 : sizeText(bytesReceived));
    // Progress comes many times a second; the line changes at most four times.
    const qint64 now = transferClock.elapsed();
    transferRate.addSample(now, bytesReceived, bytesTotal);
    if (now - rateShownAtMs >= 250) {
        rateShownAtMs = now;
        Q_EMIT rateChanged(transferRate.text());
    }
}

void DlrInstallQueue::downloadCompleted(int manifestIndex)
{
    if (inBackDialog) {
        qDebug() << "Download completed while in the back dialog";
        deferred = [this, manifestIndex] {
            downloadCompleted(manifestIndex);
        };
        return;
    }
    if (currentStage == Stage::Downloading)
        Q_EMIT downloadAttemptEnded(manifestIndex, attemptBytes, transferClock.elapsed(),
                                    QString());
    currentStage = Stage::Idle;
    qDebug() << "Download complete!" << manifestIndex;
    Q_EMIT amountChanged(QString());
    Q_EMIT rateChanged(QString());
    if (installs) {
        startInstaller();
    } else {
        // Nothing is installed: the next download starts at once.
        Q_EMIT progressChanged(DlrQueueProgress::installStartValue(queuePosition, progressStep));
        advanceQueue();
    }
}

void DlrInstallQueue::downloadFailed(const QString &reason, int manifestIndex)
{
    qWarning() << "Download failed" << reason;
    if (inBackDialog) {
        qDebug() << "Download failed while in the back dialog";
        deferred = [this, reason, manifestIndex] {
            downloadFailed(reason, manifestIndex);
        };
        return;
    }
    Q_EMIT amountChanged(QString());
    Q_EMIT rateChanged(QString());
    if (currentStage == Stage::Downloading)
        Q_EMIT downloadAttemptEnded(manifestIndex, attemptBytes, transferClock.elapsed(), reason);
    currentStage = Stage::Idle;
    if (downloadStopped) {
        // The abort the user asked for on the Back question.
        downloadStopped = false;
        return;
    }
    askAfterFailure(reason);
}

void DlrInstallQueue::askAfterFailure(const QString &reason)
{
    ask(DlrBox::DownloadFailed, QStringLiteral("Product download failed"),
        reason + QStringLiteral(". Press Abort to exit, Retry or Ignore to try the next product"),
        QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore, QMessageBox::Retry,
        [this](QMessageBox::StandardButton answer) {
            if (answer == QMessageBox::Abort) {
                Q_EMIT runStopped(DlrExitCode::AbortedByUser);
            } else if (answer == QMessageBox::Retry) {
                qDebug() << "Requesting retry after a failed download";
                QTimer::singleShot(1, this, &DlrInstallQueue::requestNextDownload);
            } else { // Ignore: the product is neither downloaded nor installed
                queuePosition += 1;
                continueQueue();
            }
        });
}

void DlrInstallQueue::advanceQueue()
{
    Q_EMIT amountChanged(QString());
    queuePosition += 1;
    Q_EMIT progressChanged(progressStep * queuePosition);
    continueQueue();
}

void DlrInstallQueue::continueQueue()
{
    if (stopped)
        return;
    if (queuePosition != queueLength()) {
        QTimer::singleShot(1, this, &DlrInstallQueue::requestNextDownload);
        return;
    }
    queuePosition = -1;
    currentStage = Stage::Done;
    Q_EMIT queueFinished();
}

// ---------------------------------------------------------------------------------------------
// Going back

void DlrInstallQueue::back()
{
    if (queuePosition == -1) {
        Q_EMIT goBack();
        return;
    }
    DlrManifestElement *element = nullptr;
    if (currentElement(element)) {
        qWarning() << "no element even though processing in back";
        return;
    }
    const QString label = element->label();
    deferred = nullptr;

    if (installerProcess) {
        inBackDialog = true;
        ask(DlrBox::BackDuringInstall, QStringLiteral("A Product Install Is In Progress"),
            QStringLiteral("Once ") + label
                    + QStringLiteral(" is installed the Tessaline Installer will go back"),
            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel,
            [this](QMessageBox::StandardButton answer) {
                if (answer == QMessageBox::Ok)
                    goBackAfterInstall = true; // the install itself is never interrupted
                inBackDialog = false;
                if (const auto held = std::exchange(deferred, nullptr))
                    held();
            });
        return;
    }
    if (currentStage != Stage::Downloading)
        return; // between two products: nothing to stop

    inBackDialog = true;
    ask(DlrBox::BackDuringDownload, QStringLiteral("Download In Progress. Really go back?"),
        QStringLiteral("Pressing Ok will stop this download of ") + label
                + QStringLiteral(". Press Cancel to resume download and installation"),
        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel,
        [this](QMessageBox::StandardButton answer) {
            inBackDialog = false;
            const auto held = std::exchange(deferred, nullptr);
            if (answer == QMessageBox::Cancel) {
                if (held)
                    held();
                return;
            }
            // A completion that arrived meanwhile is dropped: its record stays downloaded, so
            // the next pass installs it without downloading it again.
            downloadStopped = true;
            if (!held)
                app->abortDownload();
            currentStage = Stage::Idle;
            Q_EMIT goBack();
        });
}
