#include "DlrInstallQueue.h"

#include "DlrApp.h"
#include "DlrInstallerOutput.h"
#include "DlrMSIProcess.h"
#include "DlrQueueProgress.h"

#include <QDebug>
#include <QDir>

// The install half of the queue: each package checked once more and held, its installer run,
// its output followed, its end handled.

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

    // Read again and held until the install ends: what is installed is what was checked.
    if (!packageCheck.check(nativePath, element->sha256)) {
        Q_EMIT statusChanged(QString());
        Q_EMIT packageRefused(currentIndex(), packageCheck.reason());
        ask(DlrBox::PackageRefused, QStringLiteral("Not installing ") + element->label(),
            packageCheck.reason() + QStringLiteral(". Skipping to next product"), QMessageBox::Ok,
            QMessageBox::Ok, [this](QMessageBox::StandardButton) { advanceQueue(); });
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
    installerProcess->start(packageCheck.installPath(), arguments, QIODevice::ReadOnly);
}

void DlrInstallQueue::installerStarts()
{
    Q_EMIT stepReached(currentIndex(), Step::Installing);
    startAhead();
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
            packageCheck.release();
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
    packageCheck.release();
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
