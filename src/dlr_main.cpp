#include "DlrApp.h"
#include "DlrCpu.h"
#include "DlrHost.h"
#include "DlrLog.h"
#include "DlrMessageBox.h"
#include "DlrPlatform.h"

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
// processor, shows the wizard and runs the event loop.
extern "C" DLR_EXPORT int dlr_main(int argc, char **argv)
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
            return DlrExitCode::Failure;
        }
        DlrPlatform::useHeadlessDisplay();
    }

    int result = DlrExitCode::Success;
    {
        DlrApp app(argc, argv);
        InitLogFile();
        qDebug() << "Tessaline Installer starting from" << app.getAppDirPath();

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
