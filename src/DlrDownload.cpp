#include "DlrDownload.h"

#include "DlrApp.h"
#include "DlrInstallerOutput.h"
#include "DlrMSIProcess.h"
#include "DlrMessageBox.h"
#include "DlrQueueProgress.h"
#include "DlrTexts.h"

#include <QAbstractButton>
#include <QDebug>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWizard>

namespace {
// How long each while-you-wait picture stays before the next one.
constexpr int WhileUWaitIntervalMs = 8000;
} // namespace

DlrDownload::DlrDownload(QWidget *parent)
    : QWizardPage(parent)
{
    connect(dlrApp, QOverload<int>::of(&DlrApp::finishedDownload), this,
            &DlrDownload::downloadCompleted);
    connect(dlrApp, &DlrApp::failedDownload, this, &DlrDownload::downloadFailed);

    artworkLabel = new QLabel(this);
    artworkLabel->setObjectName(QStringLiteral("downloadArtwork"));
    progressBar = new QProgressBar(this);
    progressBar->setMinimum(0);
    progressBar->setMaximum(ProgressMaximum);
    statusLabel = new QLabel(QStringLiteral("Download/Installing"), this);
    statusLabel->setObjectName(QStringLiteral("downloadStatus"));
    amountLabel = new QLabel(this);
    amountLabel->setObjectName(QStringLiteral("downloadAmount"));

    auto *layout = new QVBoxLayout;
    setLayout(layout);
    auto *artworkRow = new QHBoxLayout;
    artworkRow->addStretch();
    artworkRow->addWidget(artworkLabel);
    artworkRow->addStretch();
    layout->addLayout(artworkRow);
    layout->addWidget(progressBar);
    layout->addWidget(statusLabel);
    layout->addWidget(amountLabel);
    artworkLabel->setPixmap(whileUWaitPixmap());

    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, dlrApp->GetPixmap("downloadBanner.png"));

    whileUWaitTimer = new QTimer(this);
    whileUWaitTimer->setSingleShot(true);
    whileUWaitTimer->setInterval(WhileUWaitIntervalMs);
    connect(whileUWaitTimer, &QTimer::timeout, this, &DlrDownload::nextWhileUWait);
}

DlrDownload::~DlrDownload()
{
    // The page owns the installer object; deleting it cancels an install under way and waits
    // for its end.
    delete installerProcess;
}

int DlrDownload::queueLength() const
{
    return dlrApp->getDownloadQueue().size();
}

void DlrDownload::setBar(int value)
{
    progressBar->setValue(value);
}

bool DlrDownload::currentElement(DlrManifestElement *&element) const
{
    const QList<int> queue = dlrApp->getDownloadQueue();
    if (queuePosition < 0 || queuePosition >= queue.size())
        return true;
    const int index = queue.at(queuePosition);
    QList<DlrManifestElement> &manifest = dlrApp->manifestList();
    if (index < 0 || index >= manifest.size())
        return true;
    element = &manifest[index];
    return false;
}

// ---------------------------------------------------------------------------------------------
// Entering and leaving the page

void DlrDownload::initializePage()
{
    qDebug() << "Download";
    progressBar->reset();
    setBar(0);
    queuePosition = 0;
    currentReply = nullptr;
    installerProcess = nullptr;
    goBackAfterInstall = false;
    downloadStopped = false;
    amountLabel->clear();
    whileUWaitTimer->start();

    requestNextDownload();

    // The page's own Back button stands in for the wizard's, so going back can be guarded.
    QWizard *w = wizard();
    w->setButtonLayout(
            {QWizard::Stretch, QWizard::CustomButton1, QWizard::NextButton, QWizard::FinishButton});
    w->setButtonText(QWizard::CustomButton1, w->buttonText(QWizard::BackButton));
    if (!backButtonConnected) {
        backButtonConnected = true;
        connect(w->button(QWizard::CustomButton1), &QAbstractButton::clicked, this,
                &DlrDownload::back);
    }
}

void DlrDownload::cleanupPage()
{
    wizard()->setButtonLayout(
            {QWizard::Stretch, QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton});
    amountLabel->clear();
    whileUWaitTimer->stop();
}

bool DlrDownload::isComplete() const
{
    return queuePosition == -1 && queueDone;
}

bool DlrDownload::validatePage()
{
    return queuePosition == -1 && queueDone;
}

// ---------------------------------------------------------------------------------------------
// Downloads

void DlrDownload::requestNextDownload()
{
    amountLabel->clear();
    const int n = queueLength();
    if (queuePosition < 0 || queuePosition >= n) {
        qWarning() << "requestNextDownload made with nothing to do" << queuePosition;
        return;
    }
    progressStep = DlrQueueProgress::step(n);
    setBar(DlrQueueProgress::requestValue(queuePosition, progressStep));

    DlrManifestElement *element = nullptr;
    if (currentElement(element)) {
        // The selection page never queues such an entry; skip it rather than stop the run.
        qWarning() << "requestNextDownload: queue entry"
                   << dlrApp->getDownloadQueue().at(queuePosition)
                   << "is not in the product list, skipping it";
        advanceQueue();
        return;
    }
    if (element->downloaded) {
        downloadCompleted(queuePosition);
        return;
    }

    const QString label = element->label();
    statusLabel->setText(QStringLiteral("Downloading ") + label + QStringLiteral("..."));
    currentReply = dlrApp->DownloadProduct(dlrApp->getDownloadQueue().at(queuePosition));
    if (currentReply) {
        connect(currentReply, &QNetworkReply::downloadProgress, this,
                &DlrDownload::downloadProgress);
        return;
    }

    DlrMessageBox::critical(
            QStringLiteral("downloadCannotStart"), QStringLiteral("There Was An Error Downloading"),
            QStringLiteral("While processing") + label
                    + QStringLiteral(
                            ". If this error persists contact customer support. Press Ok to exit "
                            "the application"));
    QCoreApplication::exit(0);
}

void DlrDownload::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    setBar(DlrQueueProgress::downloadValue(queuePosition, progressStep, bytesReceived, bytesTotal));
    // Without a total (the server did not say) only the count so far means anything.
    amountLabel->setText(bytesTotal > 0
                                 ? sizeText(bytesReceived) + QLatin1Char('/') + sizeText(bytesTotal)
                                 : sizeText(bytesReceived));
}

void DlrDownload::downloadCompleted(int manifestIndex)
{
    if (inBackDialog) {
        qDebug() << "Download completed while in the back dialog";
        heldDownloadCompleted = true;
        heldManifestIndex = manifestIndex;
        return;
    }
    currentReply = nullptr;
    qDebug() << "Download complete!" << manifestIndex;
    amountLabel->clear();
    startInstaller();
}

void DlrDownload::downloadFailed(const QString &reason, int manifestIndex)
{
    qWarning() << "Download failed" << reason;
    if (inBackDialog) {
        qDebug() << "Download failed while in the back dialog";
        heldDownloadFailed = true;
        heldManifestIndex = manifestIndex;
        heldReason = reason;
        return;
    }
    amountLabel->clear();
    currentReply = nullptr;
    if (downloadStopped) {
        // The abort the user asked for on the Back dialog.
        downloadStopped = false;
        return;
    }

    const QMessageBox::StandardButton answer = DlrMessageBox::critical(
            QStringLiteral("downloadFailed"), QStringLiteral("Product download failed"),
            reason
                    + QStringLiteral(
                            ". Press Abort to exit, Retry or Ignore to try the next product"),
            QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore, QMessageBox::Retry);

    if (answer == QMessageBox::Abort) {
        QCoreApplication::exit(-1);
        return;
    }
    if (answer == QMessageBox::Retry) {
        qDebug() << "Requesting retry after a failed download";
        QTimer::singleShot(1, this, &DlrDownload::requestNextDownload);
        return;
    }
    // Ignore: the product is neither downloaded nor installed.
    queuePosition += 1;
    continueQueue();
}

void DlrDownload::advanceQueue()
{
    amountLabel->clear();
    queuePosition += 1;
    setBar(progressStep * queuePosition);
    continueQueue();
}

void DlrDownload::continueQueue()
{
    if (queuePosition != queueLength()) {
        QTimer::singleShot(1, this, &DlrDownload::requestNextDownload);
        return;
    }
    queuePosition = -1;
    queueDone = true;
    Q_EMIT completeChanged();
    whileUWaitTimer->stop();
    // From the event loop: the queue can complete while the wizard is still switching to this
    // page (every product already on disk), and the wizard must have arrived before it moves on.
    QTimer::singleShot(0, this, [this] {
        if (wizard() && wizard()->currentPage() == this)
            wizard()->next();
    });
}

// ---------------------------------------------------------------------------------------------
// Going back

void DlrDownload::back(bool)
{
    if (queuePosition == -1) {
        wizard()->back();
        return;
    }
    DlrManifestElement *element = nullptr;
    if (currentElement(element)) {
        qWarning() << "no element even though processing in back";
        return;
    }
    const QString label = element->label();

    if (installerProcess) {
        inBackDialog = true;
        heldInstallerFinished = false;
        if (DlrMessageBox::critical(
                    QStringLiteral("backDuringInstall"),
                    QStringLiteral("A Product Install Is In Progress"),
                    QStringLiteral("Once ") + label
                            + QStringLiteral(" is installed the Tessaline Installer will go back"),
                    QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel)
            == QMessageBox::Ok)
            goBackAfterInstall = true; // the install itself is never interrupted
        inBackDialog = false;
        if (heldInstallerFinished)
            handleInstallerEnd(heldExitCode, heldExitStatus);
        return;
    }

    if (!currentReply)
        return; // between two products: nothing to stop

    inBackDialog = true;
    heldDownloadCompleted = false;
    heldDownloadFailed = false;
    const QMessageBox::StandardButton answer = DlrMessageBox::critical(
            QStringLiteral("backDuringDownload"),
            QStringLiteral("Download In Progress. Really go back?"),
            QStringLiteral("Pressing Ok will stop this download of ") + label
                    + QStringLiteral(". Press Cancel to resume download and installation"),
            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    inBackDialog = false;

    if (answer == QMessageBox::Cancel) {
        if (heldDownloadCompleted)
            downloadCompleted(heldManifestIndex);
        else if (heldDownloadFailed)
            downloadFailed(heldReason, heldManifestIndex);
        return;
    }
    downloadStopped = true;
    if (!heldDownloadCompleted && !heldDownloadFailed)
        currentReply->abort();
    currentReply = nullptr;
    wizard()->back();
}

// ---------------------------------------------------------------------------------------------
// Installing

void DlrDownload::startInstaller()
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
        advanceQueue();
        return;
    }

    installerProcess = new DlrMSIProcess(nullptr);
    installerProcess->setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    connect(installerProcess, &DlrMSIProcess::started, this, &DlrDownload::installerStarts);
    connect(installerProcess, &DlrMSIProcess::stateChanged, this,
            &DlrDownload::installerChangedState);
    connect(installerProcess, &DlrMSIProcess::error, this, &DlrDownload::installerError);
    connect(installerProcess, &DlrMSIProcess::finished, this, &DlrDownload::installerFinished);
    connect(installerProcess, &DlrMSIProcess::readyReadStandardOutput, this,
            &DlrDownload::installerReadyStdout);
    connect(installerProcess, &DlrMSIProcess::readyReadStandardError, this,
            &DlrDownload::installerReadyStderr);

    setBar(DlrQueueProgress::installStartValue(queuePosition, progressStep));
    qDebug() << "running installer" << nativePath << arguments;
    installerProcess->start(nativePath, arguments, QIODevice::ReadOnly);
}

void DlrDownload::installerStarts()
{
    DlrManifestElement *element = nullptr;
    if (!currentElement(element))
        statusLabel->setText(QStringLiteral("Installing ") + element->label()
                             + QStringLiteral("..."));
    else
        statusLabel->clear();
}

void DlrDownload::installerChangedState(QProcess::ProcessState newState)
{
    qDebug() << "Installer moves to state" << newState;
}

void DlrDownload::installerError(QProcess::ProcessError error)
{
    qDebug() << "Installer error " << error;
    if (error != QProcess::FailedToStart)
        return;

    QString text = QStringLiteral("Could not start installer process");
    DlrManifestElement *element = nullptr;
    if (!currentElement(element))
        text += QStringLiteral(" for ") + element->label();
    text += QStringLiteral(", skipping to next product");
    DlrMessageBox::critical(QStringLiteral("installerFailedToStart"), text);

    if (installerProcess)
        installerProcess->deleteLater();
    qDebug() << "process object abandoned due to error";
    installerProcess = nullptr;
    statusLabel->clear();
    advanceQueue();
}

void DlrDownload::installerFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    statusLabel->clear();
    qDebug() << "Installer finished" << exitCode << " status " << exitStatus;
    if (inBackDialog) {
        heldExitCode = exitCode;
        heldExitStatus = exitStatus;
        heldInstallerFinished = true;
        qDebug() << "Installer finished while waiting for user input";
        return;
    }
    handleInstallerEnd(exitCode, exitStatus);
}

void DlrDownload::handleInstallerEnd(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (exitCode < 0 || exitStatus != QProcess::NormalExit) {
        DlrMessageBox::critical(QStringLiteral("installerExitError"),
                                QStringLiteral("Installer exited with err. Exit code: ")
                                        + QString::number(exitCode));
    }
    if (goBackAfterInstall)
        wizard()->back();
    else
        advanceQueue();

    qDebug() << "calling delete on installer process object";
    if (installerProcess) {
        // Released once the signal that brought us here has returned.
        connect(installerProcess, &QObject::destroyed, [] { qDebug() << "process object gone"; });
        installerProcess->deleteLater();
    }
    installerProcess = nullptr;
}

void DlrDownload::installerReadyStdout()
{
    if (!installerProcess) {
        qDebug() << "internal error, got stdin ready but no process";
        return;
    }
    const DlrInstallerOutput out
            = DlrInstallerOutput::parse(installerProcess->readAllStandardOutput());
    qDebug() << "installer stdout:" << out.text;
    if (out.hasPercent)
        setBar(DlrQueueProgress::installValue(queuePosition, progressStep, out.percent));
    else
        amountLabel->setText(out.status);
}

void DlrDownload::installerReadyStderr()
{
    if (!installerProcess) {
        qDebug() << "internal error, got stderr ready but no process";
        return;
    }
    qDebug() << "installer stderr:" << installerProcess->readAllStandardError();
}

// ---------------------------------------------------------------------------------------------
// While-you-wait artwork

QPixmap DlrDownload::whileUWaitPixmap()
{
    const auto load = [](int number) {
        return dlrApp->GetPixmap(
                QStringLiteral("whileUWait-%1.png").arg(number).toLocal8Bit().constData());
    };
    QPixmap image;
    do {
        image = load(whileUWaitIndex);
        ++whileUWaitIndex;
    } while (image.isNull() && whileUWaitIndex < WhileUWaitLimit);
    if (image.isNull()) {
        image = load(1);
        whileUWaitIndex = 2;
    }
    return image;
}

void DlrDownload::nextWhileUWait()
{
    // When image 1 is missing the sequence wraps through an empty result; ask once more
    // rather than show an empty frame.
    QPixmap image = whileUWaitPixmap();
    if (image.isNull())
        image = whileUWaitPixmap();
    if (!image.isNull())
        artworkLabel->setPixmap(image);
    whileUWaitTimer->start();
}
