#include "DlrUnattended.h"

#include "DlrApp.h"
#include "DlrExitCode.h"
#include "DlrMachineAssay.h"
#include "DlrMessageBox.h"
#include "DlrPlatform.h"
#include "DlrSelectionRules.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <cstdio>

namespace {

// The names the report gives the codes of a run without questions.
QString exitName(DlrExitCode::Code code)
{
    static const QHash<int, QString> names{
            {DlrExitCode::Success, QStringLiteral("Installed")},
            {DlrExitCode::ProcessorTooOld, QStringLiteral("ProcessorTooOld")},
            {DlrExitCode::BadUsage, QStringLiteral("BadUsage")},
            {DlrExitCode::SignInRefused, QStringLiteral("SignInRefused")},
            {DlrExitCode::ServiceUnreachable, QStringLiteral("ServiceUnreachable")},
            {DlrExitCode::NotEnoughDiskSpace, QStringLiteral("NotEnoughDiskSpace")},
            {DlrExitCode::DownloadFailed, QStringLiteral("DownloadFailed")},
            {DlrExitCode::ChecksumMismatch, QStringLiteral("ChecksumMismatch")},
            {DlrExitCode::CertificateRefused, QStringLiteral("CertificateRefused")},
            {DlrExitCode::InstallerError, QStringLiteral("InstallerError")},
    };
    return names.value(code, QString::number(code));
}

// The reasons the manifest request gives when no sign-in verdict arrived at all.
bool isServiceFault(const QString &reason)
{
    return reason == QLatin1String("bad manifest reply")
           || reason == QLatin1String("Unknown manifest Validation");
}

// The Windows Installer's return codes that mean the product is installed.
bool installSucceeded(int code)
{
    return code == 0 || code == 3010 || code == 1641; // 3010 and 1641: a restart is due
}

QString fingerprint(const QString &text)
{
    QString hex = text.toLower();
    hex.remove(QLatin1Char(':'));
    return hex;
}

// The digest of a complete file: the manifest's when it gave one (the download checked it),
// else computed from the file.
QString digestOf(const DlrManifestElement &offer)
{
    if (!offer.sha256.isEmpty())
        return offer.sha256;
    if (!offer.downloadFile)
        return QString();
    QFile file(offer.downloadFile->fileName());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    DlrPlatform::Sha256 digest;
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = file.read(buffer.data(), buffer.size())) > 0)
        digest.addData(buffer.constData(), got);
    return got < 0 ? QString() : QString::fromLatin1(digest.hexResult());
}

void writeLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

const char LedgerName[] = "tessinstaller-installed.json";

QString productCount(int n)
{
    return n == 1 ? QStringLiteral("1 product") : QStringLiteral("%1 products").arg(n);
}

} // namespace

DlrUnattended::DlrUnattended(DlrApp &app)
    : app(app)
    , queue(new DlrInstallQueue(&app, this))
{
    connect(&app, &DlrApp::validManifestReply, this, &DlrUnattended::manifestArrived);
    connect(&app, &DlrApp::invalidManifestReply, this, &DlrUnattended::manifestRefused);

    // The download page's own queue does the work; this run only reports it and answers.
    connect(queue, &DlrInstallQueue::stepReached, this, &DlrUnattended::stepReached);
    connect(queue, &DlrInstallQueue::downloadAttemptEnded, this, &DlrUnattended::attemptEnded);
    connect(queue, &DlrInstallQueue::installerEnded, this, &DlrUnattended::installerEnded);
    connect(queue, &DlrInstallQueue::boxNeeded, this, &DlrUnattended::answer);
    connect(queue, &DlrInstallQueue::downloadAdvanced, this, [this](qint64 received, qint64 total) {
        print(progress->downloadProgress(queue->position(), currentLabel(), received, total));
    });
    connect(queue, &DlrInstallQueue::installerAdvanced, this, [this](float percent) {
        print(progress->installProgress(queue->position(), currentLabel(), percent));
    });
    connect(queue, &DlrInstallQueue::queueFinished, this, [this] {
        finish(DlrExitCode::Success, QStringLiteral("Installed ") + productCount(queueLength));
    });
    connect(queue, &DlrInstallQueue::runStopped, this, [this](int code) {
        // Only a download that cannot start stops the queue without a decision of ours.
        finish(code == DlrExitCode::DownloadCannotStart ? DlrExitCode::DownloadFailed
                                                        : DlrExitCode::Code(code),
               QStringLiteral("The download of %1 could not start").arg(currentLabel()));
    });

    // Nobody is there to answer a box: every box of the catalogue gets its automatic answer,
    // and the questions the run decides itself get theirs again just before they are asked.
    DlrMessageBox::answerAllAutomatically();
}

DlrUnattended::~DlrUnattended()
{
    DlrMessageBox::clearAutomaticAnswers();
}

int DlrUnattended::run()
{
    runTime.start();
    QTimer::singleShot(0, this, &DlrUnattended::begin);
    return QCoreApplication::exec();
}

int DlrUnattended::refuse(const DlrApp &app, DlrExitCode::Code code, const QString &message)
{
    qWarning().noquote() << "Unattended run refused:" << message;
    writeLine(stderr, message);
    const QString reportFile = app.getUnattendedOptions().reportFile;
    if (!reportFile.isEmpty()) {
        DlrUnattendedReport report;
        report.setOutcome(code, exitName(code), message);
        QString error;
        if (!report.write(reportFile, &error))
            writeLine(stderr,
                      QStringLiteral("Could not write the report %1: %2").arg(reportFile, error));
    }
    return code;
}

void DlrUnattended::print(const QString &line)
{
    if (line.isEmpty())
        return;
    qDebug().noquote() << "Unattended:" << line;
    writeLine(stdout, line);
}

QString DlrUnattended::currentLabel() const
{
    const QList<int> order = app.getDownloadQueue();
    const int position = queue->position();
    return position >= 0 && position < order.size()
                   ? app.manifestList().at(order.at(position)).label()
                   : QString();
}

QString DlrUnattended::ledgerPath() const
{
    return app.GetDownloadDir()->absoluteFilePath(QLatin1String(LedgerName));
}

QJsonObject DlrUnattended::ledger() const
{
    QFile file(ledgerPath());
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
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

    const QUrl url = app.GetManifestUrl();
    print(QStringLiteral("Signing in to %1 as %2").arg(url.host(), app.getUserName()));
    watchCertificates();
    app.RequestManifest(url, app.getUserName(), app.getPassword(), QStringLiteral("windows"));
}

void DlrUnattended::watchCertificates()
{
    // The manager's sslErrors signal comes before the request's own, so the answer is in place
    // when the certificate box is asked.
    connect(app.networkAccessManager(), &QNetworkAccessManager::sslErrors, this,
            &DlrUnattended::certificateQuestion);
}

void DlrUnattended::certificateQuestion(QNetworkReply *reply, const QList<QSslError> &errors)
{
    // What the certificate policy lets through without asking needs no decision.
    const bool lonePrivateRoot
            = errors.size() == 1
              && errors.first().error() == QSslError::SelfSignedCertificateInChain;
    if (app.isSslAccepted() || lonePrivateRoot)
        return;
    QSslCertificate certificate = reply->sslConfiguration().peerCertificate();
    if (certificate.isNull() && !errors.isEmpty())
        certificate = errors.first().certificate();
    const QString seen
            = QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
    const QString wanted = fingerprint(app.getUnattendedOptions().trustCertificate);
    const bool trusted = !wanted.isEmpty() && seen == wanted;
    DlrMessageBox::setAutomaticAnswer(QLatin1String(DlrBox::SslErrors),
                                      trusted ? QMessageBox::Ok : QMessageBox::Cancel);
    if (trusted) {
        qInfo().noquote() << "Unattended: the certificate of" << reply->url().host()
                          << "with SHA-256" << seen << "is trusted: -trustcert names it";
    } else {
        certificateRefused = true;
        qWarning().noquote() << "Unattended: the certificate of" << reply->url().host()
                             << "with SHA-256" << seen << "is refused:"
                             << (wanted.isEmpty() ? QStringLiteral("no -trustcert given")
                                                  : QStringLiteral("-trustcert names another"));
        print(QStringLiteral("Certificate problem with %1 (%2); its SHA-256 fingerprint is %3")
                      .arg(reply->url().host(),
                           errors.isEmpty() ? QString() : errors.first().errorString(), seen));
    }
}

void DlrUnattended::manifestRefused(const QString &reason)
{
    if (certificateRefused) {
        finish(DlrExitCode::CertificateRefused,
               QStringLiteral("The service's certificate was refused"));
    } else if (isServiceFault(reason)) {
        finish(DlrExitCode::ServiceUnreachable,
               QStringLiteral("Could not get a product list from the service (%1)").arg(reason));
    } else {
        finish(DlrExitCode::SignInRefused, QStringLiteral("Sign-in refused: %1").arg(reason));
    }
}

void DlrUnattended::manifestArrived()
{
    const DlrUnattendedOptions &options = app.getUnattendedOptions();
    QList<DlrManifestElement> &manifest = app.manifestList();
    DlrSelectionRules rules(manifest, *app.getAssay());
    rules.chooseDownloads();

    // What an earlier run without questions installed is not proposed again; the survey
    // does not recognise every product.
    const QJsonObject installedBefore = ledger();
    QList<int> chosen;
    QList<int> hidden = rules.hiddenIndices();
    for (const int i : rules.chosenIndices()) {
        const DlrManifestElement &offer = manifest.at(i);
        if (!offer.buildId.isEmpty()
            && installedBefore.value(offer.name).toString() == offer.buildId) {
            qInfo().noquote() << "Unattended:" << offer.label() << "build" << offer.buildId
                              << "was installed by an earlier run; not proposed again";
            hidden.prepend(i);
            continue;
        }
        chosen << i;
    }

    const DlrUnattendedPlan plan(manifest, chosen, hidden, options.selectPatterns,
                                 options.deselectPatterns);
    for (const QString &warning : plan.warnings()) {
        qWarning().noquote() << warning;
        print(warning);
    }
    report.setProposal(plan.rows());

    if (options.listOnly) {
        const QString text = plan.listText();
        std::fwrite(text.toLocal8Bit().constData(), 1, size_t(text.toLocal8Bit().size()), stdout);
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
    for (const int i : order)
        app.CheckForDownload(i); // a complete file from an earlier run is used again

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
    print(QStringLiteral("%1 to install, %2 to download at most")
                  .arg(productCount(queueLength),
                       DlrUnattendedProgress::bytesText(plan.neededSpace() / 2)));
    progress.reset(new DlrUnattendedProgress(queueLength, [this] { return runTime.elapsed(); }));
    queue->start();
}

void DlrUnattended::stepReached(int manifestIndex, DlrInstallQueue::Step step)
{
    if (ended)
        return;
    const DlrManifestElement &offer = app.manifestList().at(manifestIndex);
    DlrUnattendedReport::Product &entry = report.product(manifestIndex);
    entry.name = offer.name;
    entry.label = offer.label();
    const int position = queue->position();
    switch (step) {
    case DlrInstallQueue::Step::Downloading:
        ++entry.attempts;
        print(progress->downloadStarts(position, offer.label()));
        break;
    case DlrInstallQueue::Step::FoundOnDisk:
        entry.reused = true;
        entry.downloaded = true;
        entry.sha256 = digestOf(offer);
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
    lastFailure = failure;
    if (!failure.isNull())
        return; // the queue asks what to do next
    const DlrManifestElement &offer = app.manifestList().at(manifestIndex);
    entry.downloaded = true;
    entry.sha256 = digestOf(offer);
    print(progress->step(
            queue->position(), DlrUnattendedProgress::Stage::Downloaded,
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
    if (certificateRefused) {
        finish(DlrExitCode::CertificateRefused,
               QStringLiteral("The certificate of the download of %1 was refused").arg(label));
        return;
    }
    const int attempts = report.product(app.getDownloadQueue().at(queue->position())).attempts;
    const bool again = attempts < DownloadAttempts;
    // Answered as an administrator would: try again, with a longer pause each time, then give up.
    DlrMessageBox::setAutomaticAnswer(box.id, again ? QMessageBox::Retry : QMessageBox::Abort);
    DlrMessageBox::show(box);
    if (!again) {
        const bool damaged = lastFailure.contains(QLatin1String("checksum mismatch"));
        finish(damaged ? DlrExitCode::ChecksumMismatch : DlrExitCode::DownloadFailed,
               QStringLiteral("The download of %1 failed %2 times: %3")
                       .arg(label)
                       .arg(attempts)
                       .arg(lastFailure));
        return;
    }
    const int pauseMs = app.getUnattendedOptions().retryPauseMs * attempts;
    qInfo().noquote() << "Unattended: download of" << label
                      << "failed (" + lastFailure + "), attempt" << attempts << "of"
                      << DownloadAttempts << "; trying again in" << pauseMs << "ms";
    print(progress->step(queue->position(), DlrUnattendedProgress::Stage::Start,
                         QStringLiteral("Download of %1 failed (%2); trying again in %3 s")
                                 .arg(label, lastFailure)
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

    QJsonObject installed = ledger();
    installed.insert(offer.name, offer.buildId);
    QSaveFile ledgerFile(ledgerPath());
    if (!ledgerFile.open(QIODevice::WriteOnly)
        || ledgerFile.write(QJsonDocument(installed).toJson()) < 0 || !ledgerFile.commit())
        qWarning() << "Could not record the install in" << ledgerPath() << ledgerFile.errorString();

    print(progress->step(queue->position(), DlrUnattendedProgress::Stage::Done,
                         QStringLiteral("Installed %1").arg(offer.label())));
}

void DlrUnattended::finish(DlrExitCode::Code code, const QString &message)
{
    if (ended)
        return;
    ended = true;
    queue->stop();
    report.setOutcome(code, exitName(code), message);
    const QString reportFile = app.getUnattendedOptions().reportFile;
    if (!reportFile.isEmpty()) {
        QString error;
        if (!report.write(reportFile, &error))
            print(QStringLiteral("Could not write the report %1: %2").arg(reportFile, error));
    }
    if (code == DlrExitCode::Success) {
        print(message);
    } else {
        qWarning().noquote() << "Unattended run stopped:" << message;
        print(QStringLiteral("Stopped: %1 (exit code %2, %3)")
                      .arg(message)
                      .arg(code)
                      .arg(exitName(code)));
    }
    app.endRun(code);
}
