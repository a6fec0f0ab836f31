#pragma once

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

#include <memory>

class DlrMainWindow;
class DlrMachineAssay;
class QNetworkAccessManager;
class QSettings;

// The application object: one per process, reached as the running application instance.
// It owns every piece of process-wide state: configuration, the manifest list, the download
// queue, the one network access manager, the running download, the success address and the
// wizard window. The pages show this state and drive it through the operations below.
class DlrApp : public QApplication
{
    Q_OBJECT

public:
    DlrApp(int &argc, char **argv);
    ~DlrApp() override;

    // The body of dlr_main: construct, log, gate the processor, start, run.
    static int Main(int argc, char **argv);

    // The running application instance.
    static DlrApp *instance() { return static_cast<DlrApp *>(QCoreApplication::instance()); }

    // Builds and shows the wizard. True only when the window could not be created.
    bool Start();

    // Takes the single survey object, stores it in assay and runs its survey.
    void RunAssay();

    // --- Manifest request ---
    QUrl GetManifestUrl() const;
    void RequestManifest(const QUrl &url,
                         const QString &userId,
                         const QString &password,
                         const QString &platform);

    // --- Product download ---
    QDir *GetDownloadDir();
    QString getDownloadPath(int manifestIndex);
    QString getFinalNameFromTempName(const QString &tempName) const;
    void CheckForDownload(int manifestIndex);
    QNetworkReply *DownloadProduct(int manifestIndex);
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
    bool isSslAccepted() const { return sslAccepted; }
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

    // Manifest request
    void replyFromManifestRequest(QNetworkReply *reply);
    void alternateManifest();
    void appendManifest();
    QNetworkAccessManager *networkAccessManager();

    // Product download: the end of the running download, reached through finishedReply.
    void finishedDownload(QNetworkReply *reply);

    // TLS problems of either request.
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);
    // Gives a reply up when it moves no byte for the transfer timeout, except while its
    // certificate question is open.
    void watchForStall(QNetworkReply *reply);
    // Deletes a reply that has finished, or marks it for deletion once its certificate
    // question has been answered.
    void releaseReply(QNetworkReply *reply);

    QString resourcePath(const char *folder, const QString &name) const;

    DlrMainWindow *mainWindow = nullptr;
    QList<DlrManifestElement> manifest;
    QString manifestServer;
    QString manifestScheme;
    QString manifestPath;
    QString appDirPath;
    QString userName;
    QString password;
    QNetworkAccessManager *networkManager = nullptr;
    QNetworkReply *downloadReply = nullptr;
    QNetworkReply *manifestReply = nullptr;
    qint32 currentDownload = -1;
    std::unique_ptr<char[]> readBuffer; // 1024-byte copy buffer, allocated on first use
    QDir *downloadDir = nullptr;
    QString manifestFile;
    QString appendManifestFile;
    QList<int> downloadQueue;
    DlrMachineAssay *assay = nullptr;
    QUrl successUrl;
    bool dumpManifest = false;
    DlrUnattendedOptions unattendedOptions;
    bool sslAccepted = false;
    int transferTimeoutMs = 0; // 0: the default
    // Replies whose certificate question is open, and those of them that finished meanwhile.
    QList<QNetworkReply *> questionsOpen;
    QList<QNetworkReply *> releaseAfterQuestion;
    QSettings *settings = nullptr;
    // Debug switches set 0 (debug) in place of 2; the log file records every level regardless.
    int logLevel = 2;
};

#define dlrApp (DlrApp::instance())
