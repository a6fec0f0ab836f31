// Installs one package through DlrMSIProcess, as the download page does, while a timer on the
// user-interface thread measures how long that thread is ever kept from running.
//   install_bench PACKAGE      (TESSINSTALLER_ROOT names the machine to install into)
// Prints: engine_seconds=<s> stall_ms=<longest gap between ticks> lines=<progress lines> ok=<0|1>
#include "DlrMSIProcess.h"
#include "DlrMessageBox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Quiet: the default handler would print every engine line.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: install_bench PACKAGE\n");
        return 2;
    }

    // An error box would wait for a user who is not there: answer it and count the run as failed.
    bool failed = false;
    for (const char *id : {"Error", "FatalError", "Warning"})
        DlrMessageBox::setAutomaticAnswer(QString::fromLatin1(id), QMessageBox::Abort);

    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    QTimer ticker;
    ticker.setInterval(2);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (sinceTick.isValid())
            longestGapMs = qMax(longestGapMs, sinceTick.elapsed());
        sinceTick.start();
    });

    int lines = 0;
    QByteArray last;
    DlrMSIProcess process;
    QObject::connect(&process, &DlrMSIProcess::readyReadStandardOutput, [&] {
        last = process.readAllStandardOutput();
        ++lines;
    });
    QElapsedTimer clock;
    QObject::connect(&process, &DlrMSIProcess::finished, [&] {
        const double seconds = clock.nsecsElapsed() / 1e9;
        ticker.stop();
        // A complete install ends its last phase at 100 %.
        failed = failed || last != "installer:%100";
        std::printf("engine_seconds=%.3f stall_ms=%lld lines=%d ok=%d\n", seconds,
                    static_cast<long long>(longestGapMs), lines, failed ? 0 : 1);
        app.quit();
    });

    QTimer::singleShot(50, [&] {
        ticker.start();
        clock.start();
        process.start(QString::fromLocal8Bit(argv[1]), {}, QIODevice::ReadOnly);
    });
    app.exec();
    return failed ? 1 : 0;
}
