#include "DlrApp.h"

#include "DlrCpu.h"
#include "DlrHost.h"
#include "DlrLog.h"
#include "DlrMachineAssay.h"
#include "DlrMainWindow.h"
#include "DlrMessageBox.h"
#include "DlrPlatform.h"

#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QTextStream>

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
// Server client.
// NOT YET BUILT: the manifest request, the product download and the TLS handling below are
// placeholders so the shell links; they are filled in by the manifest and download work.

QNetworkAccessManager *DlrApp::networkAccessManager()
{
    if (!networkManager) {
        networkManager = new QNetworkAccessManager(this);
        connect(networkManager, &QNetworkAccessManager::finished, this, &DlrApp::finishedReply);
    }
    return networkManager;
}

QUrl DlrApp::GetManifestUrl() const
{
    return QUrl::fromUserInput(manifestScheme + QStringLiteral("://") + manifestServer
                               + QLatin1Char('/') + manifestPath);
}

void DlrApp::RequestManifest(const QUrl &, const QString &, const QString &, const QString &)
{
    Q_EMIT invalidManifestReply(QStringLiteral("Unknown manifest Validation"));
}

void DlrApp::replyFromManifestRequest(QNetworkReply *) {}
void DlrApp::alternateManifest() {}
void DlrApp::appendManifest() {}

QDir *DlrApp::GetDownloadDir()
{
    if (!downloadDir)
        downloadDir = new QDir(QDir::tempPath());
    return downloadDir;
}

QString DlrApp::getDownloadPath(int)
{
    return QStringLiteral("unkown.tessdownload");
}

QString DlrApp::getFinalNameFromTempName(const QString &tempName) const
{
    return tempName;
}

void DlrApp::CheckForDownload(int) {}

QNetworkReply *DlrApp::DownloadProduct(int)
{
    return nullptr;
}

void DlrApp::finishedReply(QNetworkReply *) {}
void DlrApp::downloadReadyRead() {}
void DlrApp::finishedDownload(QNetworkReply *) {}
void DlrApp::downloadSslErrors(QList<QSslError>) {}
void DlrApp::manifestSslErrors(QList<QSslError>) {}
void DlrApp::sslErrors(QNetworkReply *, const QList<QSslError> &) {}
