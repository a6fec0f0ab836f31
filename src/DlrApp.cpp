#include "DlrApp.h"

#include "DlrCpu.h"
#include "DlrDownloadNames.h"
#include "DlrHost.h"
#include "DlrLog.h"
#include "DlrMachineAssay.h"
#include "DlrMainWindow.h"
#include "DlrManifestHandler.h"
#include "DlrMessageBox.h"
#include "DlrPlatform.h"
#include "DlrTexts.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <new>

// ---------------------------------------------------------------------------------------------
// Start-up

int DlrApp::Main(int argc, char **argv)
{
    if (!DlrPlatform::displayAvailable()) {
        // The usage text needs no window; anything else does, and the toolkit would abort.
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments << QString::fromLocal8Bit(argv[i]);
        DlrConfig scratch;
        QByteArray ignored;
        if (DlrOptions::applyCommandLine(arguments, scratch, &ignored)
            != DlrOptions::Outcome::Help) {
            std::fprintf(stderr, "Tessaline Installer needs a display: set DISPLAY, or run it "
                                 "under Xvfb (xvfb-run).\n");
            return 1;
        }
        DlrPlatform::useHeadlessDisplay();
    }

    int result = 0;
    {
        DlrApp app(argc, argv);
        InitLogFile();
        qDebug() << "Tessaline Installer starting from" << app.appDirPath;

        if (!DlrCpu::HasCpuFeatures(DlrCpu::RequiredCpuFeatures)) {
            qWarning() << "Processor lacks required features, word" << Qt::hex
                       << DlrCpu::CachedFeatureWord();
            DlrMessageBox::Spec box;
            box.id = QStringLiteral("oldCpu");
            box.icon = QMessageBox::Critical;
            box.iconPixmap = app.GetPixmap("oldcpu.png");
            box.text = QStringLiteral("This machine's CPU architecture is too old to support "
                                      "Tessaline.");
            box.informativeText = QStringLiteral("See ") + QLatin1String(DlrHost::WebSite)
                                  + QStringLiteral(" for technical specifications");
            DlrMessageBox::show(box);
            std::_Exit(1); // at once, without tear-down
        }

        if (app.Start())
            return 1;
        result = app.exec();
        qDebug() << "Event loop ended with" << result;
    }
    return result;
}

DlrApp::DlrApp(int &argc, char **argv)
    : QApplication(argc, argv)
    , manifestServer(QLatin1String(DlrHost::WebHost))
    , manifestScheme(QStringLiteral("https"))
    , manifestPath(QStringLiteral("forum/currentproducts.php"))
    , appDirPath(QCoreApplication::applicationDirPath())
    , successUrl(QStringLiteral("https://") + QLatin1String(DlrHost::WebHost)
                 + QLatin1String(DlrHost::SuccessPath))
{
    readSettings();
    parseEnvironment();
    parseCommandLine();
}

DlrApp::~DlrApp()
{
    delete mainWindow;
    delete downloadDir;
    delete settings;
}

bool DlrApp::Start()
{
    QIcon icon;
    icon.addFile(resourcePath("../lib/Resources/images", QStringLiteral("tessinstaller.png")),
                 QSize(), QIcon::Normal, QIcon::Off);
    setWindowIcon(icon);

    const QString styleSheetPath
            = resourcePath("../lib/Resources/stylesheets", QStringLiteral("tessinstaller.qss"));
    if (QFile::exists(styleSheetPath)) {
        QFile file(styleSheetPath);
        if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            QTextStream stream(&file);
            QString sheet;
            while (!stream.atEnd())
                sheet += stream.readLine(); // line ends dropped: one line
            file.close();
            setStyleSheet(sheet);
        }
    } else {
        qDebug() << "No style sheet at" << styleSheetPath;
    }

    delete mainWindow; // a second Start replaces the window
    mainWindow = nullptr;
    try {
        mainWindow = new DlrMainWindow();
    } catch (const std::bad_alloc &) {
        mainWindow = nullptr;
    }
    if (!mainWindow) {
        qCritical() << "Could not create the wizard window";
        return true;
    }
    mainWindow->show();
    mainWindow->raise();
    return false;
}

void DlrApp::RunAssay()
{
    assay = DlrMachineAssay::Instance();
    assay->DoAssay();
}

// ---------------------------------------------------------------------------------------------
// Configuration: settings file, then environment, then command line.

DlrConfig DlrApp::config() const
{
    DlrConfig c;
    c.userName = userName;
    c.password = password;
    c.manifestServer = manifestServer;
    c.manifestScheme = manifestScheme;
    c.manifestPath = manifestPath;
    c.manifestFile = manifestFile;
    c.appendManifestFile = appendManifestFile;
    c.dumpManifest = dumpManifest;
    c.debugRequested = (logLevel == 0);
    c.unattended = unattendedOptions;
    return c;
}

void DlrApp::setConfig(const DlrConfig &c)
{
    userName = c.userName;
    password = c.password;
    manifestServer = c.manifestServer;
    manifestScheme = c.manifestScheme;
    manifestPath = c.manifestPath;
    manifestFile = c.manifestFile;
    appendManifestFile = c.appendManifestFile;
    dumpManifest = c.dumpManifest;
    unattendedOptions = c.unattended;
    if (c.debugRequested)
        logLevel = 0;
}

void DlrApp::openSettings()
{
    const QString name = QStringLiteral("tessinstaller.ini");
    const QString inHome = QDir::homePath() + QLatin1Char('/') + name;
    const QString besideProgram = appDirPath + QLatin1Char('/') + name;
    if (QFile::exists(inHome))
        settings = new QSettings(inHome, QSettings::IniFormat);
    else if (QFile::exists(besideProgram))
        settings = new QSettings(besideProgram, QSettings::IniFormat);
}

void DlrApp::readSettings()
{
    openSettings();
    if (!settings)
        return;
    DlrConfig c = config();
    DlrOptions::applySettings(*settings, c);
    setConfig(c);
}

void DlrApp::parseEnvironment()
{
    DlrConfig c = config();
    DlrOptions::applyEnvironment(QProcessEnvironment::systemEnvironment(), c);
    setConfig(c);
}

void DlrApp::parseCommandLine()
{
    DlrConfig c = config();
    QByteArray output;
    const DlrOptions::Outcome outcome
            = DlrOptions::applyCommandLine(QCoreApplication::arguments(), c, &output);
    std::fwrite(output.constData(), 1, size_t(output.size()), stdout);
    if (outcome == DlrOptions::Outcome::Help) {
        std::fflush(stdout);
        std::_Exit(0); // before the log file exists and before the processor gate
    }
    std::fflush(stdout);
    setConfig(c);
}

// ---------------------------------------------------------------------------------------------
// Resources

QString DlrApp::resourcePath(const char *folder, const QString &name) const
{
    return appDirPath + QDir::separator() + QLatin1String(folder) + QDir::separator() + name;
}

QPixmap DlrApp::GetPixmap(const char *name) const
{
    if (!name)
        return QPixmap();
    return QPixmap(resourcePath("../lib/Resources/images", QString::fromLocal8Bit(name)));
}

QIcon DlrApp::GetIcon(const char *name) const
{
    QIcon icon;
    if (name)
        icon.addFile(resourcePath("../lib/Resources/images", QString::fromLocal8Bit(name)), QSize(),
                     QIcon::Normal, QIcon::Off);
    return icon;
}

// ---------------------------------------------------------------------------------------------
// Server client: the manifest request, the product download and their TLS problems.

namespace {
// Bounds against a misbehaving service: a manifest is a few megabytes at most, and a transfer
// that moves no byte for this long is given up (it then fails like any broken transfer).
constexpr qint64 ManifestBodyLimit = 32 * 1024 * 1024;
constexpr int DefaultTransferTimeoutMs = 60 * 1000;
const char StallTimerName[] = "tessStallTimer";
// Qt reads the socket on its own thread and keeps what the application has not read yet;
// this bound keeps memory flat however large the file is.
constexpr qint64 DownloadReadBufferSize = 1024 * 1024;
constexpr qint64 CopyBufferSize = 1024;
// A reply body goes to the log whole when it is of a sensible size, else its start.
constexpr int LoggedBodyLimit = 64 * 1024;

QHttpPart formPart(const char *fieldName, const QString &value)
{
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QStringLiteral("form-data; name=\"%1\"").arg(QLatin1String(fieldName)));
    part.setBody(value.toUtf8());
    return part;
}

QByteArray upToZeroByte(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}

QByteArray logExcerpt(const QByteArray &body)
{
    if (body.size() <= LoggedBodyLimit)
        return body;
    return body.left(LoggedBodyLimit) + "\n[... "
           + QByteArray::number(body.size() - LoggedBodyLimit) + " more bytes not logged]";
}

// An aborted reply is closed and has nothing more to give.
QByteArray readWhatArrived(QNetworkReply *reply)
{
    return reply->isOpen() ? reply->readAll() : QByteArray();
}

// The environment's value for a file option that no setting or option gave.
void takeFromEnvironment(QString &fileName, const char *variable)
{
    if (fileName.isEmpty())
        fileName = QProcessEnvironment::systemEnvironment().value(QLatin1String(variable));
}

// The two manifest files that can stand in for, or add to, the service's answer: where the
// name comes from when no option gave one, and what the log says about it.
struct ManifestFileRole
{
    const char *variable;
    const char *announcement;
    const char *success;
};
constexpr ManifestFileRole AlternateManifest{"DLR_MANIFEST_FILE", "Loading alternate manifest",
                                             "added alt manifest"};
constexpr ManifestFileRole AppendedManifest{
        "DLR_APPEND_MANIFEST_FILE", "Appending alternate manifest", "appended alt manifest"};

// Appends the offers of the file (when one is named) to the list. Offers read before a parse
// error stay.
void readManifestFile(QString &fileName,
                      const ManifestFileRole &role,
                      QList<DlrManifestElement> *manifest,
                      QUrl *successUrl)
{
    takeFromEnvironment(fileName, role.variable);
    if (fileName.isEmpty())
        return;
    qDebug() << role.announcement << fileName;
    if (DlrManifestHandler::ParseFile(fileName, manifest, successUrl))
        qDebug() << role.success;
    else
        qDebug() << "failed to parse alt manifest";
}

// Closes the file of a finished download and says how the download ended. Beyond the reply's
// own error: the file's last buffered bytes may fail to reach the disk (a failed write, as when
// the disk is full), and a connection closed cleanly before the announced length is not an
// error to Qt. Either way the incomplete file must never get its final name.
QNetworkReply::NetworkError closeDownloadFile(QNetworkReply *reply, QFile &file)
{
    const bool flushed = file.flush();
    const qint64 written = file.size();
    if (!flushed)
        qDebug() << "Failed writing to file in download" << file.error() << file.errorString();
    file.close();
    if (!flushed)
        return QNetworkReply::OperationCanceledError;
    if (reply->error() != QNetworkReply::NoError)
        return reply->error();

    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    // A compressed body is announced by its compressed length; Qt hands it over inflated.
    if (announced.isValid() && !reply->hasRawHeader("Content-Encoding")
        && announced.toLongLong() != written) {
        qWarning() << "Download ended after" << written << "of" << announced.toLongLong()
                   << "bytes";
        return QNetworkReply::RemoteHostClosedError;
    }
    return QNetworkReply::NoError;
}

} // namespace

QNetworkAccessManager *DlrApp::networkAccessManager()
{
    if (!networkManager) {
        networkManager = new QNetworkAccessManager(this);
        connect(networkManager, &QNetworkAccessManager::finished, this, &DlrApp::finishedReply);
    }
    return networkManager;
}

void DlrApp::setTransferTimeout(int milliseconds)
{
    transferTimeoutMs = milliseconds;
}

// The toolkit's own transfer timeout cannot be paused, and a certificate question can take the
// user any time: that is no stall, and a reply aborted then would be deleted under the question.
void DlrApp::watchForStall(QNetworkReply *reply)
{
    auto *timer = new QTimer(reply);
    timer->setObjectName(QLatin1String(StallTimerName));
    timer->setSingleShot(true);
    timer->setInterval(transferTimeoutMs > 0 ? transferTimeoutMs : DefaultTransferTimeoutMs);
    const auto moved = QOverload<>::of(&QTimer::start);
    connect(reply, &QNetworkReply::readyRead, timer, moved);
    connect(reply, &QNetworkReply::downloadProgress, timer, moved);
    connect(reply, &QNetworkReply::uploadProgress, timer, moved);
    connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    connect(timer, &QTimer::timeout, reply, [this, reply, timer] {
        if (questionsOpen.contains(reply) || !reply->isRunning())
            return;
        qWarning() << "No data moved for" << timer->interval() << "ms, giving up" << reply->url();
        reply->abort();
    });
    timer->start();
}

void DlrApp::releaseReply(QNetworkReply *reply)
{
    if (questionsOpen.contains(reply))
        releaseAfterQuestion.append(reply);
    else
        reply->deleteLater();
}

QUrl DlrApp::GetManifestUrl() const
{
    return QUrl::fromUserInput(manifestScheme + QStringLiteral("://") + manifestServer
                               + QLatin1Char('/') + manifestPath);
}

void DlrApp::RequestManifest(const QUrl &url,
                             const QString &userId,
                             const QString &pass,
                             const QString &platform)
{
    manifest.clear();

    takeFromEnvironment(manifestFile, "DLR_MANIFEST_FILE");
    if (!manifestFile.isEmpty()) {
        qDebug() << "Loading manifest from disk ONLY";
        alternateManifest();
        Q_EMIT validManifestReply();
        return;
    }

    qDebug() << "Requesting manifest from " << url;
    auto *form = new QHttpMultiPart(QHttpMultiPart::FormDataType, this);
    form->append(formPart("platform", platform));
    QString escapedUserId = userId;
    escapedUserId.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    form->append(formPart("username", escapedUserId));
    form->append(formPart("userpass", pass));

    QNetworkReply *reply = networkAccessManager()->post(QNetworkRequest(url), form);
    manifestReply = reply;
    form->setParent(reply);
    connect(reply, &QNetworkReply::sslErrors, this, &DlrApp::manifestSslErrors);
    watchForStall(reply);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > ManifestBodyLimit && reply->isRunning()) {
            qWarning() << "Manifest reply larger than" << ManifestBodyLimit
                       << "bytes, abandoning it";
            reply->abort();
        }
    });
}

void DlrApp::finishedReply(QNetworkReply *reply)
{
    if (!reply) {
        qDebug() << "Oy! null reply";
        return;
    }
    if (reply == manifestReply) {
        replyFromManifestRequest(reply);
    } else if (reply == downloadReply) {
        finishedDownload(reply);
    } else {
        // A superseded manifest request: nobody waits for it any more.
        qDebug() << "Ignoring a reply nobody waits for" << reply->url();
        releaseReply(reply);
    }
}

void DlrApp::replyFromManifestRequest(QNetworkReply *reply)
{
    const QByteArray validation = reply->rawHeader("Validation");
    if (validation.startsWith("Approved")) {
        qDebug() << "Manifest request approved";
        const QByteArray body = readWhatArrived(reply);
        if (dumpManifest) {
            QFile dump(GetDownloadDir()->filePath(QStringLiteral("manifest.xml")));
            if (dump.open(QIODevice::WriteOnly | QIODevice::Truncate))
                dump.write(body);
        }
        // The progress check misses a body whose last step crosses the cap as it ends.
        const bool tooLarge = body.size() > ManifestBodyLimit;
        if (tooLarge)
            qWarning() << "Manifest reply larger than" << ManifestBodyLimit
                       << "bytes, abandoning it";
        const bool parsed
                = !tooLarge && DlrManifestHandler::ParseData(body, &manifest, &successUrl);
        appendManifest();
        if (!parsed) {
            qDebug() << "Bad Wolf:\n" << logExcerpt(body);
            Q_EMIT invalidManifestReply(QStringLiteral("bad manifest reply"));
        } else {
            Q_EMIT validManifestReply();
        }
    } else if (validation.startsWith("Error")) {
        qDebug() << "Manifest request denied";
        QString reason = QStringLiteral("Manifest request denied");
        if (validation.size() > 5) {
            reason = QString::fromUtf8(upToZeroByte(validation.mid(5))).trimmed();
        }
        Q_EMIT invalidManifestReply(reason);
    } else {
        qDebug() << "Crikey! unknown manifest Validation" << validation;
        Q_EMIT invalidManifestReply(QStringLiteral("Unknown manifest Validation"));
    }

    const QByteArray rest = readWhatArrived(reply);
    qDebug() << QString::fromLatin1(logExcerpt(upToZeroByte(rest)));
    if (manifestReply == reply)
        manifestReply = nullptr;
    releaseReply(reply);
}

void DlrApp::alternateManifest()
{
    readManifestFile(manifestFile, AlternateManifest, &manifest, &successUrl);
}

void DlrApp::appendManifest()
{
    readManifestFile(appendManifestFile, AppendedManifest, &manifest, &successUrl);
}

QDir *DlrApp::GetDownloadDir()
{
    if (!downloadDir)
        downloadDir = new QDir(DlrDownloadNames::chooseDownloadFolder(
                DlrMachineAssay::GetDownloadsFolder(), QDir::tempPath()));
    return downloadDir;
}

QString DlrApp::getDownloadPath(int manifestIndex)
{
    if (manifestIndex < 0 || manifestIndex >= manifest.size()) {
        qDebug() << "index out of range in getDownloadPath" << manifestIndex;
        return QLatin1String(DlrDownloadNames::LastResortName);
    }
    const QString fileName = DlrDownloadNames::safeFileName(manifest.at(manifestIndex).name);
    if (fileName.isEmpty()) {
        qWarning() << "No usable file name in offer name" << manifest.at(manifestIndex).name;
        return QLatin1String(DlrDownloadNames::LastResortName);
    }
    const auto taken = [](const QString &path) {
        return QFileInfo::exists(path);
    };
    return DlrDownloadNames::chooseTempName(GetDownloadDir()->absolutePath(), fileName, taken);
}

QString DlrApp::getFinalNameFromTempName(const QString &tempName) const
{
    bool unexpected = false;
    const QString finalName = DlrDownloadNames::finalNameFromTempName(tempName, &unexpected);
    if (unexpected)
        qDebug() << "getFinalNameFromTempName: Unexpected name" << tempName;
    return finalName;
}

void DlrApp::CheckForDownload(int manifestIndex)
{
    if (manifestIndex < 0 || manifestIndex >= manifest.size()) {
        qDebug() << "index out of range in CheckForDownload" << manifestIndex;
        return;
    }
    DlrManifestElement &offer = manifest[manifestIndex];
    const QString fileName = DlrDownloadNames::safeFileName(offer.name);
    if (fileName.isEmpty()) {
        qDebug() << "No usable file name to look for in offer name" << offer.name;
        return;
    }
    const QFileInfo existing(GetDownloadDir()->absoluteFilePath(fileName));
    qDebug() << "Looking for download of" << existing.absoluteFilePath();
    if (existing.exists() && existing.size() == offer.fileSize) {
        qDebug() << "Found existing download";
        offer.downloadFile.reset(new QFile(existing.absoluteFilePath()));
        offer.downloaded = true;
    }
}

QNetworkReply *DlrApp::DownloadProduct(int manifestIndex)
{
    if (downloadReply) {
        qDebug() << "Already downloading something" << manifestIndex;
        return nullptr;
    }
    if (manifestIndex < 0 || manifestIndex >= manifest.size()) {
        qDebug() << "index out of range in Download " << manifestIndex;
        return nullptr;
    }
    DlrManifestElement &offer = manifest[manifestIndex];
    if (offer.downloaded) {
        qDebug() << "Asked to download " << offer.name << " again";
        return nullptr;
    }
    if (DlrDownloadNames::safeFileName(offer.name).isEmpty()) {
        qWarning() << "Refusing to download an offer without a usable file name" << offer.name;
        return nullptr;
    }

    const QString tempName = getDownloadPath(manifestIndex);
    offer.downloadFile.reset(new QFile(tempName));
    if (!offer.downloadFile->open(QIODevice::WriteOnly)) {
        qDebug() << "Couldn't open temp file for write" << tempName << "errcode"
                 << offer.downloadFile->error() << offer.downloadFile->errorString();
        return nullptr;
    }

    qDebug() << "downloading " << offer.label() << "from" << offer.downloadUrl;
    downloadReply = networkAccessManager()->get(QNetworkRequest(offer.downloadUrl));
    downloadReply->setReadBufferSize(DownloadReadBufferSize);
    connect(downloadReply, &QNetworkReply::sslErrors, this, &DlrApp::downloadSslErrors);
    connect(downloadReply, &QNetworkReply::readyRead, this, &DlrApp::downloadReadyRead);
    watchForStall(downloadReply);
    currentDownload = manifestIndex;
    return downloadReply;
}

void DlrApp::downloadReadyRead()
{
    if (!downloadReply || currentDownload < 0 || currentDownload >= manifest.size()) {
        qDebug() << "error in download reply";
        return;
    }
    const QSharedPointer<QFile> file = manifest.at(currentDownload).downloadFile;
    if (!file) {
        qDebug() << "data ready but no file";
        return;
    }
    if (!readBuffer)
        readBuffer.reset(new char[CopyBufferSize]);

    while (downloadReply->bytesAvailable() > 0) {
        const qint64 got = downloadReply->read(readBuffer.get(), CopyBufferSize);
        if (got < 0) {
            downloadReply->abort();
            qDebug() << "Error reading from network";
            return;
        }
        const qint64 written = file->write(readBuffer.get(), got);
        if (written < got) {
            downloadReply->abort();
            qDebug() << "Failed writing to file in download" << file->error()
                     << file->errorString();
            return;
        }
    }
}

void DlrApp::finishedDownload(QNetworkReply *reply)
{
    qDebug() << "finished download" << currentDownload;
    const int index = currentDownload;
    currentDownload = -1;
    releaseReply(reply);

    if (reply != downloadReply) {
        qDebug() << "wrong reply!";
        Q_EMIT failedDownload(QStringLiteral("wrong reply"), index);
        downloadReply = nullptr;
        return;
    }
    if (index < 0 || index >= manifest.size()) {
        qDebug() << "index out of range in Download " << index;
        Q_EMIT failedDownload(QStringLiteral("index out of range in Download"), index);
        downloadReply = nullptr;
        return;
    }

    DlrManifestElement &offer = manifest[index];
    if (!offer.downloadFile) {
        qDebug() << "data ready but no file";
        Q_EMIT failedDownload(networkErrorText(QNetworkReply::OperationCanceledError), index);
        downloadReply = nullptr;
        return;
    }
    // Data still waiting in the reply belongs in the file before it is judged.
    if (reply->isOpen() && reply->bytesAvailable() > 0) {
        currentDownload = index;
        downloadReadyRead();
        currentDownload = -1;
    }
    const QNetworkReply::NetworkError error = closeDownloadFile(reply, *offer.downloadFile);
    if (error != QNetworkReply::NoError) {
        const QString reason = networkErrorText(error);
        qDebug() << reason;
        Q_EMIT failedDownload(reason, index);
        downloadReply = nullptr;
        manifest[index].downloadFile.reset();
        return;
    }

    downloadReply = nullptr;
    const QString tempName = offer.downloadFile->fileName();
    const QString finalName = getFinalNameFromTempName(tempName);
    if (finalName == tempName || offer.downloadFile->rename(finalName)) {
        offer.downloaded = true;
        Q_EMIT finishedDownload(index);
        return;
    }
    const QString reason = QStringLiteral("Couldn't finalize download when renaming ") + tempName
                           + QStringLiteral(" to ") + finalName;
    qWarning() << reason;
    Q_EMIT failedDownload(reason, index);
    manifest[index].downloadFile.reset();
}

void DlrApp::manifestSslErrors(QList<QSslError> errors)
{
    if (manifestReply)
        sslErrors(manifestReply, errors);
}

void DlrApp::downloadSslErrors(QList<QSslError> errors)
{
    if (downloadReply)
        sslErrors(downloadReply, errors);
}

void DlrApp::sslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    if (sslAccepted) {
        reply->ignoreSslErrors();
        return;
    }
    if (errors.size() == 1 && errors.first().error() == QSslError::SelfSignedCertificateInChain) {
        reply->ignoreSslErrors();
        return;
    }

    DlrMessageBox::Spec box;
    box.id = QStringLiteral("sslErrors");
    box.icon = QMessageBox::Critical;
    box.text = QStringLiteral("There was issue with the SSL connection. Continue anyway?");
    if (errors.size() == 1) {
        box.informativeText = errors.first().errorString();
    } else {
        box.informativeText = QStringLiteral("There were multiple issues with the SSL connection");
        QStringList texts;
        for (const QSslError &error : errors) {
            qDebug() << "ssl error: %s" << error.errorString();
            texts << error.errorString();
        }
        box.detailedText = texts.join(QStringLiteral("---"));
    }
    box.buttons = QMessageBox::Ok | QMessageBox::Cancel;
    box.defaultButton = QMessageBox::Ok;
    questionsOpen.append(reply);
    const bool accepted = DlrMessageBox::show(box) == QMessageBox::Ok;
    questionsOpen.removeOne(reply);
    if (accepted) {
        reply->ignoreSslErrors();
        sslAccepted = true;
    }
    if (releaseAfterQuestion.removeOne(reply)) {
        reply->deleteLater();
        return;
    }
    // The stall time starts again from the answer.
    auto *stall
            = reply->findChild<QTimer *>(QLatin1String(StallTimerName), Qt::FindDirectChildrenOnly);
    if (stall && reply->isRunning())
        stall->start();
}
