#include "DlrUnattended.h"

#include "DlrApp.h"
#include "DlrCpu.h"
#include "DlrInstallLedger.h"
#include "DlrMachineAssay.h"
#include "DlrMessageBox.h"
#include "DlrPlatform.h"
#include "DlrServiceClient.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

#include <cstdio>

namespace {

// The Windows Installer's return codes that mean the product is installed.
bool installSucceeded(int code)
{
    return code == 0 || code == 3010 || code == 1641; // 3010 and 1641: a restart is due
}

QString productCount(int n)
{
    return n == 1 ? QStringLiteral("1 product") : QStringLiteral("%1 products").arg(n);
}

} // namespace

int DlrUnattended::start(DlrApp &app)
{
    const DlrUnattendedOptions &options = app.getUnattendedOptions();
    DlrUnattendedReport report;
    // A command the run cannot follow to the letter ends it before any network traffic.
    QString problem;
    bool reportWritable = true;
    if (!app.argumentProblems().isEmpty())
        problem = app.argumentProblems().join(QStringLiteral("; "))
                  + QStringLiteral("; run with -help to see the options");
    else if (DlrOptions::checkUnattendedOptions(options, &problem) && !options.reportFile.isEmpty())
        reportWritable = DlrUnattendedReport::canWrite(options.reportFile, &problem);
    if (problem.isEmpty() && !options.mirrorFolder.isEmpty())
        DlrMirror::canWrite(options.mirrorFolder, &problem);
    DlrUnattendedOutput output(reportWritable ? options.reportFile : QString());
    if (!problem.isEmpty())
        return output.end(report, DlrExitCode::BadUsage, problem);
    if (!DlrCpu::HasCpuFeatures(DlrCpu::RequiredCpuFeatures))
        return output.end(report, DlrExitCode::ProcessorTooOld,
                          QStringLiteral("This machine's CPU architecture is too old to support "
                                         "Tessaline."));
    DlrUnattended run(app);
    return run.run();
}

DlrUnattended::DlrUnattended(DlrApp &app)
    : app(app)
    , queue(new DlrInstallQueue(&app, this))
    , output(app.getUnattendedOptions().reportFile)
    , certificates(app.getUnattendedOptions().trustCertificates)
{
    connect(&app, &DlrApp::validManifestReply, this, &DlrUnattended::manifestArrived);
    connect(&app, &DlrApp::invalidManifestReply, this, &DlrUnattended::manifestRefused);

    // The download page's own queue does the work; this run only reports it and answers.
    connect(queue, &DlrInstallQueue::stepReached, this, &DlrUnattended::stepReached);
    connect(queue, &DlrInstallQueue::downloadAttemptEnded, this, &DlrUnattended::attemptEnded);
    connect(queue, &DlrInstallQueue::installerEnded, this, &DlrUnattended::installerEnded);
    connect(queue, &DlrInstallQueue::packageRefused, this,
            [this](int manifestIndex, const QString &reason) {
                finish(DlrExitCode::InstallerError,
                       QStringLiteral("Not installing %1: %2")
                               .arg(this->app.manifestList().at(manifestIndex).label(), reason));
            });
    connect(queue, &DlrInstallQueue::boxNeeded, this, &DlrUnattended::answer);
    connect(queue, &DlrInstallQueue::downloadAdvanced, this, [this](qint64 received, qint64 total) {
        print(progress->downloadProgress(queue->position(), currentLabel(), received, total));
    });
    connect(queue, &DlrInstallQueue::installerAdvanced, this, [this](float percent) {
        print(progress->installProgress(queue->position(), currentLabel(), percent));
    });
    connect(queue, &DlrInstallQueue::queueFinished, this, [this] {
        if (mirror)
            publishMirror();
        else
            finish(DlrExitCode::Success, QStringLiteral("Installed ") + productCount(queueLength));
    });
    connect(queue, &DlrInstallQueue::runStopped, this, [this](int code) {
        // Only a download that cannot start stops the queue without a decision of ours.
        finish(code == DlrExitCode::DownloadCannotStart ? DlrExitCode::DownloadFailed
                                                        : DlrExitCode::Code(code),
               QStringLiteral("The download of %1 could not start").arg(currentLabel()));
    });

    // No one is there to accept a certificate once for the whole run: each one is judged.
    app.serviceClient()->setCertificateJudge(
            [this](QNetworkReply *reply, const QList<QSslError> &errors) {
                const bool trusted = certificates.judge(reply, errors);
                if (!trusted)
                    print(certificates.refusal());
                return trusted;
            });
    // Nobody is there to answer a box: every box of the catalogue gets its automatic answer,
    // and the questions the run decides itself get theirs again just before they are asked.
    DlrMessageBox::answerAllAutomatically();
    setUpStudio();
}

DlrUnattended::~DlrUnattended()
{
    app.serviceClient()->setCertificateJudge(nullptr);
    DlrMessageBox::clearAutomaticAnswers();
}

int DlrUnattended::run()
{
    runTime.start();
    QTimer::singleShot(0, this, &DlrUnattended::begin);
    return QCoreApplication::exec();
}

QString DlrUnattended::currentLabel() const
{
    const QList<int> order = app.getDownloadQueue();
    const int position = queue->position();
    return position >= 0 && position < order.size()
                   ? app.manifestList().at(order.at(position)).label()
                   : QString();
}

void DlrUnattended::begin()
{
    qInfo() << "Unattended run: no window, every question answered automatically";
    app.RunAssay();
    report.setSurvey(app.getAssay()->Records());
    int hosts = 0;
    for (const InstalledRecord &record : app.getAssay()->Records())
        hosts += record.contains(QStringLiteral("Location")) ? 0 : 1;
    print(QStringLiteral("Surveyed the machine: host applications %1, installed Tessaline "
                         "products %2")
                  .arg(hosts)
                  .arg(app.getAssay()->Records().size() - hosts));
    requestList();
}

void DlrUnattended::manifestArrived()
{
    // The wizard goes on with whatever offers a manifest file gave; this run does not.
    const QString fileProblem = app.serviceClient()->manifestFileProblem();
    if (!fileProblem.isEmpty()) {
        finish(DlrExitCode::ServiceUnreachable, QStringLiteral("Bad manifest file ") + fileProblem);
        return;
    }
    const DlrUnattendedOptions &options = app.getUnattendedOptions();
    // A record of installs in a folder that is not this user's own is not read.
    const DlrInstallLedger ledger(*app.GetDownloadDir());
    // A mirror holds what the list offers, whatever this machine installed before.
    const bool ownFolder = app.downloadFolderKind() != DlrDownloadNames::Folder::Working && !mirror;
    const DlrUnattendedPlan plan = DlrUnattendedPlan::forMachine(
            app.manifestList(), *app.getAssay(), ownFolder ? &ledger : nullptr,
            options.selectPatterns, options.deselectPatterns);
    for (const QString &warning : plan.warnings()) {
        qWarning().noquote() << warning;
        print(warning);
    }
    report.setProposal(plan.rows());

    if (options.listOnly) {
        const QByteArray text = plan.listText().toLocal8Bit();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        std::fflush(stdout);
        finish(DlrExitCode::Success, QStringLiteral("Listed the proposal"));
        return;
    }

    const QList<int> order = plan.queue();
    if (order.isEmpty()) {
        finish(DlrExitCode::Success,
               QStringLiteral("Nothing to do: no product to install on this machine"));
        return;
    }
    if (!checkDownloadFolder())
        return;
    for (const int i : order)
        app.CheckForDownload(i); // a complete file from an earlier run is used again
    if (mirror)
        mirror->clearStale(app.manifestList(), order);

    const QDir *folder = app.GetDownloadDir();
    const qint64 needed = plan.neededSpace();
    const qint64 available = app.getAssay()->GetAvailableDisk(*folder);
    if (available < needed) {
        finish(DlrExitCode::NotEnoughDiskSpace,
               QStringLiteral("Not enough disk space: %1 needed for the downloads, %2 available "
                              "on %3")
                       .arg(DlrUnattendedProgress::bytesText(needed),
                            DlrUnattendedProgress::bytesText(available), folder->absolutePath()));
        return;
    }
    app.setDownloadQueue(order);
    queueLength = order.size();
    print(QStringLiteral("%1 to %2, %3 to download at most")
                  .arg(productCount(queueLength),
                       mirror ? QStringLiteral("mirror") : QStringLiteral("install"),
                       DlrUnattendedProgress::bytesText(plan.neededSpace() / 2)));
    progress.reset(new DlrUnattendedProgress(queueLength, [this] { return runTime.elapsed(); }));
    queue->setInstalling(!mirror);
    queue->setDownloadsAhead(mirror ? 0 : options.downloadsAhead);
    queue->start();
}

bool DlrUnattended::checkDownloadFolder()
{
    const DlrDownloadNames::Folder kind = app.downloadFolderKind();
    const QString downloads = DlrMachineAssay::GetDownloadsFolder();
    if (kind == DlrDownloadNames::Folder::Temporary)
        print(QStringLiteral("Downloading into %1: the Downloads folder %2 cannot be used")
                      .arg(app.GetDownloadDir()->absolutePath(), downloads));
    if (kind != DlrDownloadNames::Folder::Working)
        return true;
    // The working directory may be anyone's (a shared temporary folder): nothing is put there.
    QString temporary, temporaryProblem;
    DlrPlatform::temporaryFolder(&temporary, &temporaryProblem);
    finish(DlrExitCode::DownloadFailed,
           QStringLiteral("No folder of this user's own to download into: the Downloads folder "
                          "%1 cannot be used, and %2")
                   .arg(downloads, temporaryProblem));
    return false;
}

void DlrUnattended::stepReached(int manifestIndex, DlrInstallQueue::Step step)
{
    if (ended)
        return;
    const DlrManifestElement &offer = app.manifestList().at(manifestIndex);
    DlrUnattendedReport::Product &entry = report.product(manifestIndex);
    entry.name = offer.name;
    entry.label = offer.label();
    const int position = positionOf(manifestIndex); // a download may run ahead of the queue
    switch (step) {
    case DlrInstallQueue::Step::Downloading:
        ++entry.attempts;
        print(progress->downloadStarts(position, offer.label()));
        break;
    case DlrInstallQueue::Step::FoundOnDisk:
        entry.reused = true;
        entry.downloaded = true;
        entry.sha256 = DlrUnattendedReport::digestOf(offer);
        if (mirror)
            report.mirrorResult().kept << offer.downloadFile->fileName().section('/', -1);
        print(progress->step(position, DlrUnattendedProgress::Stage::Start,
                             QStringLiteral("Using the complete download of %1 found on disk")
                                     .arg(offer.label())));
        break;
    case DlrInstallQueue::Step::Installing:
        print(progress->installStarts(position, offer.label()));
        break;
    case DlrInstallQueue::Step::NotAPackage: {
        const QString path = offer.downloadFile ? offer.downloadFile->fileName() : QString();
        qInfo().noquote() << "Unattended: not a Windows Installer package, left on disk:" << path;
        print(progress->step(position, DlrUnattendedProgress::Stage::Done,
                             QStringLiteral("%1 is not an installer package; left in %2")
                                     .arg(offer.label(), path)));
        break;
    }
    }
}

void DlrUnattended::attemptEnded(int manifestIndex,
                                 qint64 bytes,
                                 qint64 elapsedMs,
                                 const QString &failure)
{
    if (ended)
        return; // the attempt the end of the run dropped
    DlrUnattendedReport::Product &entry = report.product(manifestIndex);
    entry.bytes += bytes;
    entry.downloadSeconds += elapsedMs / 1000.0;
    lastFailure.insert(manifestIndex, failure);
    if (!failure.isNull())
        return; // the queue asks what to do next, when its turn comes
    const DlrManifestElement &offer = app.manifestList().at(manifestIndex);
    entry.downloaded = true;
    entry.sha256 = DlrUnattendedReport::digestOf(offer);
    if (mirror)
        report.mirrorResult().fetched << offer.downloadFile->fileName().section('/', -1);
    print(progress->step(
            positionOf(manifestIndex), DlrUnattendedProgress::Stage::Downloaded,
            QStringLiteral("Downloaded %1 (SHA-256 %2)").arg(offer.label(), entry.sha256)));
}

void DlrUnattended::answer(const DlrMessageBox::Spec &box)
{
    if (ended)
        return;
    if (box.id == QLatin1String(DlrBox::DownloadFailed)) {
        downloadFailed(box);
        return;
    }
    // Every other box gets the catalogue's automatic answer, logged by the box itself.
    queue->answerBox(box.id, DlrMessageBox::show(box));
}

void DlrUnattended::downloadFailed(const DlrMessageBox::Spec &box)
{
    const QString label = currentLabel();
    if (certificates.anyRefused()) {
        finish(DlrExitCode::CertificateRefused,
               QStringLiteral("The certificate of the download of %1 was refused").arg(label));
        return;
    }
    const int index = app.getDownloadQueue().at(queue->position());
    const int attempts = report.product(index).attempts;
    const QString failure = lastFailure.value(index);
    const bool again = attempts < DownloadAttempts;
    // Answered as an administrator would: try again, with a longer pause each time, then give up.
    DlrMessageBox::setAutomaticAnswer(box.id, again ? QMessageBox::Retry : QMessageBox::Abort);
    DlrMessageBox::show(box);
    if (!again) {
        const bool damaged = failure.contains(QLatin1String("checksum mismatch"));
        finish(damaged ? DlrExitCode::ChecksumMismatch : DlrExitCode::DownloadFailed,
               QStringLiteral("The download of %1 failed %2 times: %3")
                       .arg(label)
                       .arg(attempts)
                       .arg(failure));
        return;
    }
    const int pauseMs = app.getUnattendedOptions().retryPauseMs * attempts;
    qInfo().noquote() << "Unattended: download of" << label << "failed (" + failure + "), attempt"
                      << attempts << "of" << DownloadAttempts << "; trying again in" << pauseMs
                      << "ms";
    print(progress->step(queue->position(), DlrUnattendedProgress::Stage::Start,
                         QStringLiteral("Download of %1 failed (%2); trying again in %3 s")
                                 .arg(label, failure)
                                 .arg(pauseMs / 1000.0)));
    const QString id = box.id;
    QTimer::singleShot(pauseMs, this, [this, id] {
        if (!ended)
            queue->answerBox(id, QMessageBox::Retry);
    });
}

void DlrUnattended::installerEnded(int manifestIndex, int returnCode, qint64 elapsedMs)
{
    const DlrManifestElement &offer = app.manifestList().at(manifestIndex);
    DlrUnattendedReport::Product &entry = report.product(manifestIndex);
    entry.installed = true;
    entry.returnCode = returnCode;
    entry.installSeconds = elapsedMs / 1000.0;
    qInfo().noquote() << "Unattended: installer of" << offer.label() << "returned" << returnCode;
    if (!installSucceeded(returnCode)) {
        finish(DlrExitCode::InstallerError,
               QStringLiteral("The installer of %1 failed with return code %2")
                       .arg(offer.label())
                       .arg(returnCode));
        return;
    }
    QString error;
    DlrInstallLedger ledger(*app.GetDownloadDir());
    if (!ledger.add(offer, &error))
        qWarning().noquote() << "Could not record the install in" << ledger.path() << error;
    print(progress->step(queue->position(), DlrUnattendedProgress::Stage::Done,
                         QStringLiteral("Installed %1").arg(offer.label())));
}

void DlrUnattended::finish(DlrExitCode::Code code, const QString &message)
{
    if (ended)
        return;
    ended = true;
    queue->stop();
    app.endRun(output.end(report, code, message));
}
