// Linux side of the platform layer's Windows Installer calls: the user-interface settings are
// kept here, process-wide as msi.dll keeps them, and MsiInstallProductA runs the package
// engine on the calling thread, one install at a time.
#include "DlrPlatform.h"

#include "MsiEngine.h"

#include <QDebug>
#include <QFile>

#include <glib.h>

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

// libmsi tells what it cannot open through GLib's log, which would write it to standard error:
// it goes to the run's log with everything else.
void forwardGlibMessage(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
    const QString text = QStringLiteral("%1: %2").arg(QString::fromUtf8(domain ? domain : "GLib"),
                                                      QString::fromUtf8(message));
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        qWarning().noquote() << text;
    else
        qDebug().noquote() << text;
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
    static std::once_flag glibLog;
    std::call_once(glibLog, [] { g_log_set_default_handler(forwardGlibMessage, nullptr); });
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
