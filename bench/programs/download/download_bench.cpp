// One product download through the application's own path (DownloadProduct, the copy loop with
// its SHA-256, the check and the rename), timed, with the peak resident memory of the
// whole process. A failed transfer is tried again (continuing its partial file) up to RETRIES
// times.
//   download_bench URL SIZE NAME [SHA256|-] [RETRIES]
// prints: seconds=<s> bytes=<n> peak_rss_mib=<MiB> cpu_seconds=<s> attempts=<n> file=<path>

#include "DlrApp.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

double peakResidentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression hwm(QStringLiteral("VmHWM:\\s+(\\d+) kB"));
    const QRegularExpressionMatch match = hwm.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toDouble() / 1024.0 : -1;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 4 || argc > 6) {
        std::fprintf(stderr, "usage: download_bench URL SIZE NAME [SHA256|-] [RETRIES]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int appArgc = 1; // the installer's own options are not ours
    DlrApp app(appArgc, argv);
    qInstallMessageHandler(quiet);

    DlrManifestElement offer;
    offer.name = QString::fromLocal8Bit(argv[3]);
    offer.downloadUrl = QUrl(QString::fromLocal8Bit(argv[1]));
    offer.fileSize = QByteArray(argv[2]).toLongLong();
    if (argc > 4 && QByteArray(argv[4]) != "-")
        offer.sha256 = QString::fromLatin1(argv[4]);
    const int retries = argc > 5 ? std::atoi(argv[5]) : 0;
    app.manifestList().append(offer);

    QEventLoop loop;
    QString failure;
    QObject::connect(&app, qOverload<int>(&DlrApp::finishedDownload), &loop, &QEventLoop::quit);
    QObject::connect(&app, &DlrApp::failedDownload, &loop, [&](const QString &reason, int) {
        failure = reason;
        loop.quit();
    });
    QElapsedTimer clock;
    clock.start();
    int attempts = 0;
    do {
        failure.clear();
        if (!app.DownloadProduct(0)) {
            std::fprintf(stderr, "download did not start\n");
            return 1;
        }
        ++attempts;
        loop.exec();
    } while (!failure.isEmpty() && attempts <= retries);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(failure));
        return 1;
    }
    const QString file = app.manifestList().at(0).downloadFile->fileName();
    const qint64 bytes = QFileInfo(file).size();
    if (bytes != offer.fileSize) {
        std::fprintf(stderr, "downloaded %lld bytes, expected %lld\n", bytes, offer.fileSize);
        return 1;
    }
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
                       + usage.ru_stime.tv_usec / 1e6;
    std::printf("seconds=%.3f bytes=%lld peak_rss_mib=%.1f cpu_seconds=%.3f attempts=%d file=%s\n",
                seconds, bytes, peakResidentMiB(), cpu, attempts, qPrintable(file));
    return 0;
}
