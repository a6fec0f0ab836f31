#include "DlrApp.h"

#include "DlrDownloadNames.h"
#include "DlrHost.h"
#include "DlrLog.h"
#include "DlrMachineAssay.h"
#include "DlrMainWindow.h"
#include "DlrMessageBox.h"
#include "DlrPlatform.h"
#include "DlrProductDownload.h"
#include "DlrRateLimit.h"
#include "DlrServiceClient.h"

#include <QDebug>
#include <QFile>
#include <QSettings>
#include <QTextStream>

#include <new>

// ---------------------------------------------------------------------------------------------
// Start-up

DlrApp::DlrApp(int &argc, char **argv)
    : QApplication(argc, argv)
    , manifestServer(QLatin1String(DlrHost::WebHost))
    , manifestScheme(QStringLiteral("https"))
    , manifestPath(QStringLiteral("forum/currentproducts.php"))
    , appDirPath(QCoreApplication::applicationDirPath())
    , successUrl(QStringLiteral("https://") + QLatin1String(DlrHost::WebHost)
                 + QLatin1String(DlrHost::SuccessPath))
{
    client = new DlrServiceClient(&manifest, &successUrl, this);
    connect(client, &DlrServiceClient::validManifestReply, this, &DlrApp::validManifestReply);
    connect(client, &DlrServiceClient::invalidManifestReply, this, &DlrApp::invalidManifestReply);
    readSettings();
    parseEnvironment();
    parseCommandLine();
}

DlrApp::~DlrApp()
{
    delete mainWindow;
    delete downloadDir;
    delete settings;
    delete rateLimit;
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
        mainWindow = new DlrMainWindow(this);
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

void DlrApp::endRun(DlrExitCode::Code code)
{
    QCoreApplication::exit(code);
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
// Server client: fronts of the service client and of the running product download.

QNetworkAccessManager *DlrApp::networkAccessManager() const
{
    return client->networkAccessManager();
}

void DlrApp::setTransferTimeout(int milliseconds)
{
    client->setTransferTimeout(milliseconds);
}

bool DlrApp::isSslAccepted() const
{
    return client->isSslAccepted();
}

QUrl DlrApp::GetManifestUrl() const
{
    return QUrl::fromUserInput(manifestScheme + QStringLiteral("://") + manifestServer
                               + QLatin1Char('/') + manifestPath);
}

QString DlrApp::manifestFileInUse() const
{
    return manifestFile.isEmpty() ? DlrOptions::manifestFileFromEnvironment() : manifestFile;
}

void DlrApp::RequestManifest(const QUrl &url,
                             const QString &userId,
                             const QString &pass,
                             const QString &platform)
{
    manifest.clear();
    if (manifestFile.isEmpty())
        manifestFile = DlrOptions::manifestFileFromEnvironment();
    // The file added to the service's answer and the copy of the answer are for a request to
    // the service only.
    const bool toService = manifestFile.isEmpty();
    if (toService && appendManifestFile.isEmpty())
        appendManifestFile = DlrOptions::appendManifestFileFromEnvironment();
    const QString dump = toService && dumpManifest
                                 ? GetDownloadDir()->filePath(QStringLiteral("manifest.xml"))
                                 : QString();
    client->requestManifest({url, userId, pass, platform, manifestFile, appendManifestFile, dump});
}

void DlrApp::finishedReply(QNetworkReply *reply)
{
    client->finishedReply(reply);
}

QDir *DlrApp::GetDownloadDir()
{
    if (!downloadDir) {
        // Not the shared temporary folder: anyone may plant a file of an offer's name there.
        QString temp, problem;
        if (!DlrPlatform::temporaryFolder(&temp, &problem))
            qWarning().noquote() << "Not using the temporary folder:" << problem;
        downloadDir = new QDir(DlrDownloadNames::chooseDownloadFolder(
                DlrMachineAssay::GetDownloadsFolder(), temp, &downloadFolder));
    }
    return downloadDir;
}

void DlrApp::setDownloadFolder(const QString &path)
{
    delete downloadDir;
    downloadDir = new QDir(QDir(path).absolutePath());
    downloadFolder = DlrDownloadNames::Folder::Downloads;
}

void DlrApp::setRateLimit(qint64 bytesPerSecond)
{
    delete rateLimit;
    rateLimit = bytesPerSecond > 0 ? new DlrRateLimit(bytesPerSecond) : nullptr;
}

DlrDownloadNames::Folder DlrApp::downloadFolderKind()
{
    GetDownloadDir();
    return downloadFolder;
}

QString DlrApp::getDownloadPath(int manifestIndex)
{
    if (manifestIndex < 0 || manifestIndex >= manifest.size()) {
        qDebug() << "index out of range in getDownloadPath" << manifestIndex;
        return QLatin1String(DlrDownloadNames::LastResortName);
    }
    return DlrProductDownload::temporaryPath(manifest.at(manifestIndex), *GetDownloadDir());
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
    // Found and checked once in this run: the selection page asks again at every rebuild of its
    // list, and a large file's digest takes a while.
    if (offer.downloaded && offer.downloadFile && offer.downloadFile->size() == offer.fileSize)
        return;
    const QString existing = DlrProductDownload::existingDownload(offer, *GetDownloadDir());
    if (existing.isEmpty())
        return;
    offer.downloadFile.reset(new QFile(existing));
    offer.downloaded = true;
}

QNetworkReply *DlrApp::DownloadProduct(int manifestIndex)
{
    if (runningDownload) {
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
    auto *download = new DlrProductDownload(client, offer, *GetDownloadDir(), manifestIndex, this);
    download->setSources(downloadSources);
    download->setRateLimit(rateLimit);
    connect(download, &DlrProductDownload::fetchedFrom, this,
            [this, manifestIndex](const QString &origin, qint64 bytes) {
                Q_EMIT downloadFetched(manifestIndex, origin, bytes);
            });
    const bool started = download->start();
    if (download->file())
        offer.downloadFile = download->file();
    if (!started) {
        delete download;
        return nullptr;
    }
    runningDownload = download;
    currentDownload = manifestIndex;
    connect(download, &DlrProductDownload::progress, this, &DlrApp::downloadProgress);
    connect(download, &DlrProductDownload::finished, this, [this] { downloadEnded(QString()); });
    connect(download, &DlrProductDownload::failed, this, &DlrApp::downloadEnded);
    return download->reply();
}

void DlrApp::abortDownload()
{
    if (runningDownload)
        runningDownload->abort();
}

void DlrApp::downloadReadyRead()
{
    if (runningDownload)
        runningDownload->readAvailable();
}

// A failure is reported while the download still counts as running, so nothing can start from
// inside the signal; a finished file is in place before anyone hears of it.
void DlrApp::downloadEnded(const QString &failure)
{
    const int index = currentDownload;
    DlrProductDownload *download = runningDownload;
    currentDownload = -1;
    download->deleteLater();
    const bool known = index >= 0 && index < manifest.size();
    if (!known)
        qDebug() << "index out of range in Download " << index;
    if (known && failure.isNull()) {
        runningDownload = nullptr;
        manifest[index].downloaded = true;
        manifest[index].downloadFile = download->file();
        Q_EMIT finishedDownload(index);
        return;
    }
    Q_EMIT failedDownload(known ? failure : QStringLiteral("index out of range in Download"),
                          index);
    runningDownload = nullptr;
    if (known)
        manifest[index].downloadFile.reset();
}

void DlrApp::manifestSslErrors(QList<QSslError> errors)
{
    if (QNetworkReply *reply = client->manifestReply())
        sslErrors(reply, errors);
}

void DlrApp::downloadSslErrors(QList<QSslError> errors)
{
    if (runningDownload && runningDownload->reply())
        sslErrors(runningDownload->reply(), errors);
}

void DlrApp::sslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    client->sslErrors(reply, errors);
}
