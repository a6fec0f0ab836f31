#include "DlrApp.h"

#include "DlrLog.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QSettings>

#include <cstdio>
#include <cstdlib>

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
    const DlrOptions::Outcome outcome = DlrOptions::applyCommandLine(QCoreApplication::arguments(),
                                                                     c, &output, &unreadArguments);
    std::fwrite(output.constData(), 1, size_t(output.size()), stdout);
    if (outcome == DlrOptions::Outcome::Help) {
        ReleaseHeldMessages();
        std::fflush(stdout);
        std::_Exit(DlrExitCode::Success); // before the log file and the processor gate
    }
    std::fflush(stdout);
    setConfig(c);
}
