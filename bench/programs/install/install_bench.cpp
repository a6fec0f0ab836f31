// Installs one package through DlrMSIProcess, as the download page does, while a timer on the
// user-interface thread measures how long that thread is ever kept from running. Before the
// install, what the queue does just before each install can be timed too: --recheck SHA256 (the
// package read again through a held handle, its digest compared, the installer given the held
// file) and --publisher THUMBPRINT (its code signature checked; Windows).
//   install_bench PACKAGE [--recheck SHA256] [--publisher THUMBPRINT]
//                 (TESSINSTALLER_ROOT names the machine to install into)
// Prints: engine_seconds=<s> stall_ms=<longest gap between ticks> lines=<progress lines> ok=<0|1>
//         [recheck_seconds=<s>] [signature_seconds=<s>]
#include "DlrMSIProcess.h"
#include "DlrMessageBox.h"
#include "DlrPackageCheck.h"

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
    const QStringList args = app.arguments();
    const int recheck = args.indexOf(QStringLiteral("--recheck")) + 1;
    const int publisher = args.indexOf(QStringLiteral("--publisher")) + 1;
    if (args.size() < 2 || recheck >= args.size() || publisher >= args.size()) {
        std::fprintf(stderr, "usage: install_bench PACKAGE [--recheck SHA256] [--publisher T]\n");
        return 2;
    }
    QString package = args.at(1);
    QByteArray checks;
    QElapsedTimer checkClock;
    if (publisher > 0) {
        // The queue prepares when it starts, so this runs during the first download there.
        DlrPlatform::SignatureCheckPreparation preparation;
        checkClock.start();
        preparation.start();
        preparation.wait();
        checks += " preparation_seconds="
                  + QByteArray::number(checkClock.nsecsElapsed() / 1e9, 'f', 4);
        checkClock.start();
        const auto signature
                = DlrPlatform::checkPackageSignature(package, {args.at(publisher).toLatin1()});
        checks += " signature_seconds="
                  + QByteArray::number(checkClock.nsecsElapsed() / 1e9, 'f', 4);
        if (signature.verdict != DlrPlatform::PackageSignatureCheck::Trusted)
            std::fprintf(stderr, "the package's signature: %s\n", qPrintable(signature.reason));
    }
    DlrPackageCheck held({});
    if (recheck > 0) {
        checkClock.start();
        if (!held.check(package, args.at(recheck))) {
            std::fprintf(stderr, "%s\n", qPrintable(held.reason()));
            return 1;
        }
        checks += " recheck_seconds=" + QByteArray::number(checkClock.nsecsElapsed() / 1e9, 'f', 4);
        package = held.installPath();
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
        // A complete install ends its last phase at 100 % (Wine's last record for a large
        // package can come out a hair above it: "installer:%100.00001").
        failed = failed || !last.startsWith("installer:%100");
        std::printf("engine_seconds=%.3f stall_ms=%lld lines=%d ok=%d%s\n", seconds,
                    static_cast<long long>(longestGapMs), lines, failed ? 0 : 1,
                    checks.constData());
        app.quit();
    });

    QTimer::singleShot(50, [&] {
        ticker.start();
        clock.start();
        process.start(package, {}, QIODevice::ReadOnly);
    });
    app.exec();
    return failed ? 1 : 0;
}
