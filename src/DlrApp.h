#pragma once

#include "DlrDownloadNames.h"
#include "DlrExitCode.h"
#include "DlrManifestElement.h"
#include "DlrOptions.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QList>
#include <QNetworkReply>
#include <QPixmap>
#include <QSslError>
#include <QString>
#include <QUrl>

class DlrMainWindow;
class DlrMachineAssay;
class DlrProductDownload;
class DlrRateLimit;
class DlrSources;
class DlrServiceClient;
class QNetworkAccessManager;
class QSettings;

// The application object: one per process, reached as the running application instance.
// It owns every piece of process-wide state: configuration, the manifest list, the download
// queue, the service client (with the one network access manager), the running download, the
// success address and the wizard window. The pages get it in their constructors; the work of
// the server client is done by DlrServiceClient and DlrProductDownload behind the operations
// below.
class DlrApp : public QApplication
{
    Q_OBJECT

public:
    DlrApp(int &argc, char **argv);
    ~DlrApp() override;

    // The running application instance.
    static DlrApp *instance() { return static_cast<DlrApp *>(QCoreApplication::instance()); }

    // Builds and shows the wizard. True only when the window could not be created.
    bool Start();

    // Takes the single survey object, stores it in assay and runs its survey.
    void RunAssay();

    // Ends the event loop, and so the run, with this code.
    void endRun(DlrExitCode::Code code);

    // --- Manifest request ---
    QUrl GetManifestUrl() const;
    void RequestManifest(const QUrl &url,
                         const QString &userId,
                         const QString &password,
                         const QString &platform);

    // The manifest file read instead of asking the service (-manifest, else DLR_MANIFEST_FILE);
    // empty when the service is asked.
    QString manifestFileInUse() const;

    // --- Product download ---
    QDir *GetDownloadDir();
    // Which folder GetDownloadDir chose: Downloads, the user's own temporary folder, or the
    // working directory when neither can be used.
    DlrDownloadNames::Folder downloadFolderKind();
    QString getDownloadPath(int manifestIndex);
    QString getFinalNameFromTempName(const QString &tempName) const;
    void CheckForDownload(int manifestIndex);
    QNetworkReply *DownloadProduct(int manifestIndex);
    // Downloads look for packages at these sources first (null: none); the run keeps them.
    void setSources(DlrSources *sources) { downloadSources = sources; }
    // Downloads go into this folder instead of Downloads (a mirror's).
    void setDownloadFolder(const QString &path);
    // The download rate of the whole run is capped at this many bytes a second (0: none).
    void setRateLimit(qint64 bytesPerSecond);
    // Gives the running download up; it then fails with the cancel error.
    void abortDownload();
    // A transfer that moves no byte for this long fails (default one minute); tests shorten it.
    // Applies to requests made after the call.
    void setTransferTimeout(int milliseconds);

    // --- Resources ---
    QPixmap GetPixmap(const char *name) const;
    QIcon GetIcon(const char *name) const;

    // --- Read and write access for the pages ---
    QList<DlrManifestElement> &manifestList() { return manifest; }
    const QList<DlrManifestElement> &manifestList() const { return manifest; }
    QString getUserName() const { return userName; }
    void setUserName(const QString &name) { userName = name; }
    QString getPassword() const { return password; }
    void setPassword(const QString &pass) { password = pass; }
    QUrl getSuccessUrl() const { return successUrl; }
    void setSuccessUrl(const QUrl &url) { successUrl = url; }
    DlrMainWindow *getMainWindow() const { return mainWindow; }
    QList<int> getDownloadQueue() const { return downloadQueue; }
    void setDownloadQueue(const QList<int> &queue) { downloadQueue = queue; }
    DlrMachineAssay *getAssay() const { return assay; }
    QString getManifestServer() const { return manifestServer; }
    QString getManifestScheme() const { return manifestScheme; }
    QString getManifestPath() const { return manifestPath; }
    QString getManifestFile() const { return manifestFile; }
    QString getAppendManifestFile() const { return appendManifestFile; }
    bool getDumpManifest() const { return dumpManifest; }
    const DlrUnattendedOptions &getUnattendedOptions() const { return unattendedOptions; }
    // The arguments the command line could not read ("Unknown option -x", "-select needs a
    // value"): the wizard goes on without them, a run without questions refuses to start.
    QStringList argumentProblems() const { return unreadArguments; }
    bool isSslAccepted() const;
    DlrServiceClient *serviceClient() const { return client; }
    // The one network access manager of the process.
    QNetworkAccessManager *networkAccessManager() const;
    int getLogLevel() const { return logLevel; }
    QString getAppDirPath() const { return appDirPath; }
    // The resource folders are found relative to this (tests point it at a copied layout).
    void setAppDirPath(const QString &path) { appDirPath = path; }
    // The current configuration values as one record, and their replacement (tests and the
    // three readers of the constructor go through these).
    DlrConfig config() const;
    void setConfig(const DlrConfig &config);

Q_SIGNALS:
    void validManifestReply();
    void invalidManifestReply(QString reason);
    void failedDownload(QString reason, int manifestIndex);
    void finishedDownload(int manifestIndex);
    // Progress of the running download: bytes of the whole file so far, its size (or -1), and
    // the bytes this download has fetched over the network (every request it took).
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal, qint64 bytesFetched);
    // One request of a download ended, having fetched these bytes from the origin (a source as
    // given, or "maker"); the last before finishedDownload names where the file came from.
    void downloadFetched(int manifestIndex, const QString &origin, qint64 bytes);

private Q_SLOTS:
    void finishedReply(QNetworkReply *reply);
    void downloadReadyRead();
    void downloadSslErrors(QList<QSslError> errors);
    void manifestSslErrors(QList<QSslError> errors);

private:
    // Configuration, read in this order by the constructor.
    void openSettings();
    void readSettings();
    void parseEnvironment();
    void parseCommandLine();

    // The end of the running download, either way.
    void downloadEnded(const QString &failure);

    // TLS problems of either request.
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);

    QString resourcePath(const char *folder, const QString &name) const;

    DlrMainWindow *mainWindow = nullptr;
    QList<DlrManifestElement> manifest;
    QString manifestServer;
    QString manifestScheme;
    QString manifestPath;
    QString appDirPath;
    QString userName;
    QString password;
    DlrServiceClient *client = nullptr;
    DlrProductDownload *runningDownload = nullptr;
    DlrSources *downloadSources = nullptr;
    DlrRateLimit *rateLimit = nullptr;
    qint32 currentDownload = -1;
    QDir *downloadDir = nullptr;
    DlrDownloadNames::Folder downloadFolder = DlrDownloadNames::Folder::Downloads;
    QString manifestFile;
    QString appendManifestFile;
    QList<int> downloadQueue;
    DlrMachineAssay *assay = nullptr;
    QUrl successUrl;
    bool dumpManifest = false;
    DlrUnattendedOptions unattendedOptions;
    QStringList unreadArguments;
    QSettings *settings = nullptr;
    // Debug switches set 0 (debug) in place of 2; the log file records every level regardless.
    int logLevel = 2;
};

#define dlrApp (DlrApp::instance())
