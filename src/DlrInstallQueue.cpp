#include "DlrInstallQueue.h"

#include "DlrApp.h"
#include "DlrInstallerOutput.h"
#include "DlrMSIProcess.h"
#include "DlrQueueProgress.h"
#include "DlrTexts.h"

#include <QDebug>
#include <QDir>
#include <QTimer>

DlrInstallQueue::DlrInstallQueue(DlrApp *app, QObject *parent)
    : QObject(parent)
    , app(app)
{
    connect(app, QOverload<int>::of(&DlrApp::finishedDownload), this,
            &DlrInstallQueue::downloadCompleted);
    connect(app, &DlrApp::failedDownload, this, &DlrInstallQueue::downloadFailed);
    connect(app, &DlrApp::downloadProgress, this,
            [this](qint64 received, qint64 total, qint64 fetched) {
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

int DlrInstallQueue::currentIndex() const
{
    const QList<int> queue = app->getDownloadQueue();
    return queuePosition >= 0 && queuePosition < queue.size() ? queue.at(queuePosition) : -1;
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
    if (currentStage == Stage::Downloading) {
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
    if (element->downloaded) {
        Q_EMIT stepReached(index, Step::FoundOnDisk);
        downloadCompleted(queuePosition);
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
    startInstaller();
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

// ---------------------------------------------------------------------------------------------
// Installing

void DlrInstallQueue::startInstaller()
{
    DlrManifestElement *element = nullptr;
    if (currentElement(element)) {
        qDebug() << "No current product in startInstaller";
        return;
    }
    if (installerProcess) {
        qWarning() << "startInstaller called while installer is running";
        return;
    }
    const QString fileName = element->downloadFile ? element->downloadFile->fileName() : QString();
    const QString nativePath = QDir::toNativeSeparators(fileName);
    const QStringList arguments;
    if (!fileName.endsWith(QLatin1String(".msi"))) {
        qDebug() << "Not running installer on " << fileName;
        Q_EMIT stepReached(currentIndex(), Step::NotAPackage);
        advanceQueue();
        return;
    }

    installerProcess = new DlrMSIProcess(nullptr);
    currentStage = Stage::Installing;
    installerProcess->setProcessEnvironment(DlrOptions::installerEnvironment());
    connect(installerProcess, &DlrMSIProcess::started, this, &DlrInstallQueue::installerStarts);
    connect(installerProcess, &DlrMSIProcess::stateChanged, this,
            &DlrInstallQueue::installerChangedState);
    connect(installerProcess, &DlrMSIProcess::error, this, &DlrInstallQueue::installerError);
    connect(installerProcess, &DlrMSIProcess::finished, this, &DlrInstallQueue::installerFinished);
    connect(installerProcess, &DlrMSIProcess::readyReadStandardOutput, this,
            &DlrInstallQueue::installerReadyStdout);
    connect(installerProcess, &DlrMSIProcess::readyReadStandardError, this,
            &DlrInstallQueue::installerReadyStderr);

    Q_EMIT progressChanged(DlrQueueProgress::installStartValue(queuePosition, progressStep));
    qDebug() << "running installer" << nativePath << arguments;
    installClock.start();
    installerProcess->start(nativePath, arguments, QIODevice::ReadOnly);
}

void DlrInstallQueue::installerStarts()
{
    Q_EMIT stepReached(currentIndex(), Step::Installing);
    DlrManifestElement *element = nullptr;
    Q_EMIT statusChanged(currentElement(element) ? QString()
                                                 : QStringLiteral("Installing ") + element->label()
                                                           + QStringLiteral("..."));
}

void DlrInstallQueue::installerChangedState(QProcess::ProcessState newState)
{
    qDebug() << "Installer moves to state" << newState;
}

void DlrInstallQueue::installerError(QProcess::ProcessError error)
{
    qDebug() << "Installer error " << error;
    if (error != QProcess::FailedToStart)
        return;

    QString text = QStringLiteral("Could not start installer process");
    DlrManifestElement *element = nullptr;
    if (!currentElement(element))
        text += QStringLiteral(" for ") + element->label();
    text += QStringLiteral(", skipping to next product");
    ask(DlrBox::InstallerFailedToStart, text, QString(), QMessageBox::Ok, QMessageBox::Ok,
        [this](QMessageBox::StandardButton) {
            if (installerProcess)
                installerProcess->deleteLater();
            qDebug() << "process object abandoned due to error";
            installerProcess = nullptr;
            Q_EMIT statusChanged(QString());
            advanceQueue();
        });
}

void DlrInstallQueue::installerFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_EMIT statusChanged(QString());
    qDebug() << "Installer finished" << exitCode << " status " << exitStatus;
    if (inBackDialog) {
        deferred = [this, exitCode, exitStatus] {
            handleInstallerEnd(exitCode, exitStatus);
        };
        qDebug() << "Installer finished while waiting for user input";
        return;
    }
    handleInstallerEnd(exitCode, exitStatus);
}

void DlrInstallQueue::handleInstallerEnd(int exitCode, QProcess::ExitStatus exitStatus)
{
    const auto moveOn = [this](QMessageBox::StandardButton) {
        currentStage = Stage::Idle;
        // Unless a driver ended the run on the installer's result.
        if (!stopped) {
            if (goBackAfterInstall)
                Q_EMIT goBack();
            else
                advanceQueue();
        }

        qDebug() << "calling delete on installer process object";
        if (installerProcess) {
            // Released once the signal that brought us here has returned.
            connect(installerProcess, &QObject::destroyed,
                    [] { qDebug() << "process object gone"; });
            installerProcess->deleteLater();
        }
        installerProcess = nullptr;
    };
    Q_EMIT installerEnded(currentIndex(),
                          installerProcess ? installerProcess->installerResult() : exitCode,
                          installClock.elapsed());
    if (exitCode >= 0 && exitStatus == QProcess::NormalExit) {
        moveOn(QMessageBox::NoButton);
        return;
    }
    ask(DlrBox::InstallerExitError,
        QStringLiteral("Installer exited with err. Exit code: ") + QString::number(exitCode),
        QString(), QMessageBox::Ok, QMessageBox::Ok, moveOn);
}

void DlrInstallQueue::installerReadyStdout()
{
    if (!installerProcess) {
        qDebug() << "internal error, got stdin ready but no process";
        return;
    }
    const DlrInstallerOutput out
            = DlrInstallerOutput::parse(installerProcess->readAllStandardOutput());
    qDebug() << "installer stdout:" << out.text;
    if (out.hasPercent) {
        Q_EMIT progressChanged(
                DlrQueueProgress::installValue(queuePosition, progressStep, out.percent));
        Q_EMIT installerAdvanced(out.percent);
    } else {
        Q_EMIT amountChanged(out.status);
    }
}

void DlrInstallQueue::installerReadyStderr()
{
    if (!installerProcess) {
        qDebug() << "internal error, got stderr ready but no process";
        return;
    }
    qDebug() << "installer stderr:" << installerProcess->readAllStandardError();
}
