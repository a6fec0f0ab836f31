// The installer's start-up exactly as dlr_main runs it (application object with settings,
// environment and command line, log file, processor gate, Start), ending as soon as the
// wizard window has been shown.
#include "DlrApp.h"
#include "DlrCpu.h"
#include "DlrLog.h"
#include "DlrMainWindow.h"

#include <QTimer>

int main(int argc, char **argv)
{
    DlrApp app(argc, argv);
    InitLogFile();
    if (!DlrCpu::HasCpuFeatures(DlrCpu::RequiredCpuFeatures))
        return 1;
    // The resources live beside the real program, not beside this benchmark.
    app.setAppDirPath(app.getAppDirPath() + QStringLiteral("/../bin"));
    if (app.Start())
        return 1;
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
