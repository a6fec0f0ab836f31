#include "DlrApp.h"
#include "DlrCpu.h"
#include "DlrHost.h"
#include "DlrLog.h"
#include "DlrMessageBox.h"
#include "DlrPlatform.h"
#include "DlrUnattended.h"

#include <QDebug>

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#define DLR_EXPORT __declspec(dllexport)
#else
#define DLR_EXPORT __attribute__((visibility("default")))
#endif

// The library's only exported symbol; the launcher returns its result as the exit code.
// Constructs the application (which reads its configuration), starts the log, gates the
// processor, shows the wizard and runs the event loop, or runs without a window or a question.
extern "C" DLR_EXPORT int dlr_main(int argc, char **argv)
{
    // The usage text and a run without questions need no display; the wizard does, and without
    // one the toolkit would abort. Which it is, the configuration tells once it is read.
    const bool displayMissing = !DlrPlatform::displayAvailable();
    if (displayMissing)
        DlrPlatform::useHeadlessDisplay();

    int result = DlrExitCode::Success;
    {
        // The toolkit warns while the application object is made (XDG_RUNTIME_DIR not set...):
        // a run without questions keeps that out of its standard error and in its log.
        HoldEarlyMessages();
        DlrApp app(argc, argv);
        const DlrUnattendedOptions &unattended = app.getUnattendedOptions();
        const bool withoutWindow = unattended.enabled || unattended.listOnly;
        if (!withoutWindow)
            ReleaseHeldMessages();
        if (displayMissing && !withoutWindow) {
            std::fprintf(stderr, "Tessaline Installer needs a display: set DISPLAY, or run it "
                                 "under Xvfb (xvfb-run), or run it with -unattended.\n");
            return DlrExitCode::Failure;
        }
        InitLogFile();
        qDebug() << "Tessaline Installer starting from" << app.getAppDirPath();
        if (withoutWindow)
            return DlrUnattended::start(app);

        if (!DlrCpu::HasCpuFeatures(DlrCpu::RequiredCpuFeatures)) {
            qWarning() << "Processor lacks required features, word" << Qt::hex
                       << DlrCpu::CachedFeatureWord();
            DlrMessageBox::Spec box;
            box.id = QLatin1String(DlrBox::OldCpu);
            box.icon = QMessageBox::Critical;
            box.iconPixmap = app.GetPixmap("oldcpu.png");
            box.text = QStringLiteral("This machine's CPU architecture is too old to support "
                                      "Tessaline.");
            box.informativeText = QStringLiteral("See ") + QLatin1String(DlrHost::WebSite)
                                  + QStringLiteral(" for technical specifications");
            DlrMessageBox::show(box);
            std::_Exit(DlrExitCode::ProcessorTooOld); // at once, without tear-down
        }

        if (app.Start())
            return DlrExitCode::Failure;
        result = app.exec();
        qDebug() << "Event loop ended with" << result;
    }
    return result;
}
