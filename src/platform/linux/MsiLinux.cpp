// Linux side of the platform layer's Windows Installer calls: the user-interface settings are
// kept here, process-wide as msi.dll keeps them, and MsiInstallProductA runs the package
// engine on the calling thread, one install at a time.
#include "DlrPlatform.h"

#include "MsiEngine.h"

#include <QDebug>
#include <QFile>

#include <atomic>
#include <mutex>

namespace DlrPlatform {

namespace {
std::mutex s_uiMutex;
MsiUiSettings s_ui;
void *s_ownerWindow = nullptr;
std::atomic<bool> s_installRunning{false};

MsiUiSettings currentUi()
{
    std::lock_guard<std::mutex> lock(s_uiMutex);
    return s_ui;
}
} // namespace

int msiSetInternalUI(int level, void **window)
{
    std::lock_guard<std::mutex> lock(s_uiMutex);
    const int previous = s_ui.level;
    if (level != INSTALLUILEVEL_NOCHANGE)
        s_ui.level = level;
    if (window) {
        void *previousOwner = s_ownerWindow;
        s_ownerWindow = *window;
        *window = previousOwner;
    }
    qDebug() << "MsiSetInternalUI" << Qt::hex << Qt::showbase << level << "previous" << previous;
    return previous;
}

InstallUiHandler msiSetExternalUIA(InstallUiHandler handler, unsigned int filter, void *context)
{
    std::lock_guard<std::mutex> lock(s_uiMutex);
    const InstallUiHandler previous = s_ui.handler;
    s_ui.handler = handler;
    s_ui.filter = handler ? filter : 0;
    s_ui.context = context;
    qDebug() << "MsiSetExternalUIA filter" << Qt::hex << Qt::showbase << filter;
    return previous;
}

unsigned int msiInstallProductA(const char *packagePath, const char *commandLine)
{
    if (!packagePath)
        return InstallPackageOpenFailed;
    bool expected = false;
    if (!s_installRunning.compare_exchange_strong(expected, true)) {
        qWarning() << "MsiInstallProductA: another installation is already running";
        return InstallAlreadyRunning;
    }
    const MsiUiSettings ui = currentUi();
    // One stable line with what the caller set and passed, for runs to be checked against.
    qInfo().noquote() << QStringLiteral("MsiInstallProductA: UI level 0x%1, message filter 0x%2, "
                                        "command line \"%3\"")
                                 .arg(ui.level, 0, 16)
                                 .arg(ui.filter, 0, 16)
                                 .arg(QString::fromLocal8Bit(commandLine ? commandLine : ""));
    QString programFiles;
    programFilesFolder(&programFiles);
    MsiEngine engine(ui, programFiles);
    const unsigned int result
            = engine.install(QString::fromLocal8Bit(packagePath),
                             QString::fromLocal8Bit(commandLine ? commandLine : ""));
    s_installRunning = false;
    return result;
}

} // namespace DlrPlatform
