#include "DlrUnattended.h"

#include "DlrApp.h"
#include "DlrExitCode.h"
#include "DlrInstallerOutput.h"
#include "DlrMSIProcess.h"
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
{
    connect(&app, &DlrApp::validManifestReply, this, &DlrUnattended::manifestArrived);
    connect(&app, &DlrApp::invalidManifestReply, this, &DlrUnattended::manifestRefused);
    connect(&app, &DlrApp::finishedDownload, this, &DlrUnattended::downloadDone);
    connect(&app, &DlrApp::failedDownload, this, &DlrUnattended::downloadFailed);
    connect(&app, &DlrApp::downloadProgress, this, &DlrUnattended::downloadProgress);

    // Nobody is there to answer a box: every box of the catalogue gets its automatic answer,
    // and the questions the run decides itself get theirs again just before they are asked.
    DlrMessageBox::answerAllAutomatically();
}

DlrUnattended::~DlrUnattended()
{
    DlrMessageBox::clearAutomaticAnswers();
    delete installer;
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
    return app.manifestList().at(queue.at(position)).label();
}

QString DlrUnattended::ledgerPath() const
{
    return app.GetDownloadDir()->absoluteFilePath(QLatin1String(LedgerName));
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
    QJsonObject ledger;
    QFile ledgerFile(ledgerPath());
    if (ledgerFile.open(QIODevice::ReadOnly))
        ledger = QJsonDocument::fromJson(ledgerFile.readAll()).object();
    QList<int> chosen;
    QList<int> hidden = rules.hiddenIndices();
    for (const int i : rules.chosenIndices()) {
        const DlrManifestElement &offer = manifest.at(i);
        if (!offer.buildId.isEmpty() && ledger.value(offer.name).toString() == offer.buildId) {
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

    queue = plan.queue();
    if (queue.isEmpty()) {
        finish(DlrExitCode::Success,
               QStringLiteral("Nothing to do: no product to install on this machine"));
        return;
    }
    for (const int i : qAsConst(queue))
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
    app.setDownloadQueue(queue);
    print(QStringLiteral("%1 to install, %2 to download at most")
                  .arg(productCount(queue.size()),
                       DlrUnattendedProgress::bytesText(plan.neededSpace() / 2)));
    progress.reset(new DlrUnattendedProgress(queue.size(), [this] { return runTime.elapsed(); }));
    position = 0;
    nextProduct();
}

void DlrUnattended::nextProduct()
{
    if (ended)
        return;
    if (position >= queue.size()) {
        finish(DlrExitCode::Success, QStringLiteral("Installed ") + productCount(queue.size()));
        return;
    }
    attempts = 0;
    const int index = queue.at(position);
    const DlrManifestElement &offer = app.manifestList().at(index);
    DlrUnattendedReport::Product &entry = report.product(index);
    entry.name = offer.name;
    entry.label = offer.label();
    if (offer.downloaded) {
        entry.reused = true;
        entry.downloaded = true;
        entry.sha256 = digestOf(offer);
        print(progress->step(position, DlrUnattendedProgress::Stage::Start,
                             QStringLiteral("Using the complete download of %1 found on disk")
                                     .arg(offer.label())));
        install();
        return;
    }
    requestDownload();
}

void DlrUnattended::requestDownload()
{
    if (ended)
        return;
    ++attempts;
    bytesThisAttempt = 0;
    stepTime.start();
    const int index = queue.at(position);
    print(progress->downloadStarts(position, currentLabel()));
    QNetworkReply *reply = app.DownloadProduct(index);
    if (!reply) {
        downloadFailed(QStringLiteral("the download could not start"), index);
        return;
    }
    // The transfer's own count is what this attempt fetched; a resumed one starts after the
    // bytes already on disk.
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64) { bytesThisAttempt = received; });
}

void DlrUnattended::downloadProgress(qint64 received, qint64 total)
{
    if (!progress || position < 0 || position >= queue.size())
        return;
    print(progress->downloadProgress(position, currentLabel(), received, total));
}

void DlrUnattended::downloadDone(int manifestIndex)
{
    if (ended || position < 0 || position >= queue.size() || queue.at(position) != manifestIndex)
        return;
    const DlrManifestElement &offer = app.manifestList().at(manifestIndex);
    DlrUnattendedReport::Product &entry = report.product(manifestIndex);
    entry.attempts = attempts;
    entry.bytes += bytesThisAttempt;
    entry.downloadSeconds += stepTime.elapsed() / 1000.0;
    entry.downloaded = true;
    entry.sha256 = digestOf(offer);
    print(progress->step(
            position, DlrUnattendedProgress::Stage::Downloaded,
            QStringLiteral("Downloaded %1 (SHA-256 %2)").arg(offer.label(), entry.sha256)));
    install();
}

void DlrUnattended::downloadFailed(const QString &reason, int manifestIndex)
{
    if (ended || position < 0 || position >= queue.size() || queue.at(position) != manifestIndex)
        return;
    DlrUnattendedReport::Product &entry = report.product(manifestIndex);
    entry.attempts = attempts;
    entry.bytes += bytesThisAttempt;
    entry.downloadSeconds += stepTime.elapsed() / 1000.0;
    const QString label = currentLabel();

    if (certificateRefused) {
        finish(DlrExitCode::CertificateRefused,
               QStringLiteral("The certificate of the download of %1 was refused").arg(label));
        return;
    }
    const bool again = attempts < DownloadAttempts;
    // The same question the wizard asks, answered as an administrator would: try again, with a
    // longer pause each time, then give up.
    DlrMessageBox::setAutomaticAnswer(QLatin1String(DlrBox::DownloadFailed),
                                      again ? QMessageBox::Retry : QMessageBox::Abort);
    DlrMessageBox::critical(QLatin1String(DlrBox::DownloadFailed),
                            QStringLiteral("Product download failed"), reason,
                            QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore,
                            QMessageBox::Retry);
    if (!again) {
        const bool damaged = reason.contains(QLatin1String("checksum mismatch"));
        finish(damaged ? DlrExitCode::ChecksumMismatch : DlrExitCode::DownloadFailed,
               QStringLiteral("The download of %1 failed %2 times: %3")
                       .arg(label)
                       .arg(attempts)
                       .arg(reason));
        return;
    }
    const int pauseMs = app.getUnattendedOptions().retryPauseMs * attempts;
    qInfo().noquote() << "Unattended: download of" << label << "failed (" + reason + "), attempt"
                      << attempts << "of" << DownloadAttempts << "; trying again in" << pauseMs
                      << "ms";
    print(progress->step(position, DlrUnattendedProgress::Stage::Start,
                         QStringLiteral("Download of %1 failed (%2); trying again in %3 s")
                                 .arg(label, reason)
                                 .arg(pauseMs / 1000.0)));
    QTimer::singleShot(pauseMs, this, &DlrUnattended::requestDownload);
}

void DlrUnattended::install()
{
    const DlrManifestElement &offer = app.manifestList().at(queue.at(position));
    const QString path = offer.downloadFile ? offer.downloadFile->fileName() : QString();
    if (!path.endsWith(QLatin1String(".msi"), Qt::CaseInsensitive)) {
        qInfo().noquote() << "Unattended: not a Windows Installer package, left on disk:" << path;
        print(progress->step(position, DlrUnattendedProgress::Stage::Done,
                             QStringLiteral("%1 is not an installer package; left in %2")
                                     .arg(offer.label(), path)));
        ++position;
        QTimer::singleShot(0, this, &DlrUnattended::nextProduct);
        return;
    }
    print(progress->installStarts(position, offer.label()));
    stepTime.start();
    installer = new DlrMSIProcess;
    connect(installer, &DlrMSIProcess::readyReadStandardOutput, this,
            &DlrUnattended::installerOutput);
    connect(installer, &DlrMSIProcess::finished, this, &DlrUnattended::installerDone);
    installer->start(path, QStringList(), QIODevice::ReadOnly);
}

void DlrUnattended::installerOutput()
{
    const DlrInstallerOutput message
            = DlrInstallerOutput::parse(installer->readAllStandardOutput());
    if (message.hasPercent)
        print(progress->installProgress(position, currentLabel(), message.percent));
}

void DlrUnattended::installerDone()
{
    const int code = installer->installerResult();
    installer->deleteLater();
    installer = nullptr;
    const int index = queue.at(position);
    const DlrManifestElement &offer = app.manifestList().at(index);
    DlrUnattendedReport::Product &entry = report.product(index);
    entry.installed = true;
    entry.returnCode = code;
    entry.installSeconds = stepTime.elapsed() / 1000.0;
    qInfo().noquote() << "Unattended: installer of" << offer.label() << "returned" << code;
    if (!installSucceeded(code)) {
        finish(DlrExitCode::InstallerError,
               QStringLiteral("The installer of %1 failed with return code %2")
                       .arg(offer.label())
                       .arg(code));
        return;
    }

    QJsonObject ledger;
    QFile existing(ledgerPath());
    if (existing.open(QIODevice::ReadOnly))
        ledger = QJsonDocument::fromJson(existing.readAll()).object();
    existing.close();
    ledger.insert(offer.name, offer.buildId);
    QSaveFile ledgerFile(ledgerPath());
    if (!ledgerFile.open(QIODevice::WriteOnly)
        || ledgerFile.write(QJsonDocument(ledger).toJson()) < 0 || !ledgerFile.commit())
        qWarning() << "Could not record the install in" << ledgerPath() << ledgerFile.errorString();

    print(progress->step(position, DlrUnattendedProgress::Stage::Done,
                         QStringLiteral("Installed %1").arg(offer.label())));
    ++position;
    QTimer::singleShot(0, this, &DlrUnattended::nextProduct);
}

void DlrUnattended::finish(DlrExitCode::Code code, const QString &message)
{
    if (ended)
        return;
    ended = true;
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
