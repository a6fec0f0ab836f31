// The product survey over many installed products whose executables answer at once, against
// the bare cost of starting the same executables one by one with QProcess, in the same run.
//   assay_bench MAKE_MACHINE_SCRIPT [products] [cheap-fail folders] [rounds]
#include "DlrMachineAssay.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

int countLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().count('\n');
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr,
                     "usage: assay_bench MAKE_MACHINE_SCRIPT [products] [cheap] [rounds]\n");
        return 2;
    }
    const int products = args.size() > 2 ? args.at(2).toInt() : 200;
    const int cheap = args.size() > 3 ? args.at(3).toInt() : 100;
    const int rounds = args.size() > 4 ? args.at(4).toInt() : 3;

    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/tessbench-assay.XXXXXX"));
    // Servers that answer at once, and folders that fail a cheap test although they hold
    // executables: bridges without plug-in, Ateliers without Maya version, foreign names.
    QString json = QStringLiteral("{\"products\": [");
    for (int i = 0; i < products; ++i)
        json += QStringLiteral("{\"kind\":\"workserver\",\"folder\":\"TessalineWorkserver-%1\","
                               "\"version\":\"24.4\",\"build\":%2},")
                        .arg(i)
                        .arg(2226589 + i);
    for (int i = 0; i < cheap; ++i) {
        const QString folder = i % 3 == 0   ? QStringLiteral("TessalineForMaya-24.4-maya2018-%1")
                               : i % 3 == 1 ? QStringLiteral("Tessaline Atelier 24.4 %1")
                                            : QStringLiteral("Other Product %1");
        json += QStringLiteral("{\"folder\":\"%1\",\"files\":{\"bin/LocalSpool.exe\":{\"exe\":"
                               "\"ok\"},\"bin/tsren.exe\":{\"exe\":\"ok\"},"
                               "\"tesstree/bin/tsren.exe\":{\"exe\":\"ok\"}}},")
                        .arg(folder.arg(i));
    }
    json.chop(1);
    json += QStringLiteral("]}");

    QProcess maker;
    maker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    maker.setStandardOutputFile(QProcess::nullDevice());
    maker.start(QStringLiteral("python3"),
                {args.at(1), root.path(), QStringLiteral("--json"), QStringLiteral("-")});
    maker.write(json.toUtf8());
    maker.closeWriteChannel();
    if (!maker.waitForFinished(120000) || maker.exitCode() != 0) {
        std::fprintf(stderr, "could not build the machine\n");
        return 1;
    }
    qputenv("TESSINSTALLER_ROOT", QFile::encodeName(root.path()));
    const QString processLog = root.path() + QStringLiteral("/processes.txt");
    qputenv("TESS_PROCESS_LOG", QFile::encodeName(processLog));

    QStringList executables;
    for (int i = 0; i < products; ++i)
        executables << root.path()
                               + QStringLiteral("/opt/Orrel/TessalineWorkserver-%1/bin/tsren.exe")
                                         .arg(i);

    // The log lines would go to a file in the application; here they cost nothing.
    qInstallMessageHandler(quiet);

    qint64 bestReference = -1, bestSurvey = -1;
    int started = 0, recorded = 0;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        for (const QString &exe : executables) {
            QProcess process;
            process.start(exe, {QStringLiteral("-version")});
            process.waitForFinished(10000);
            process.readAllStandardError();
        }
        const qint64 reference = clock.nsecsElapsed();

        QFile::remove(processLog);
        DlrMachineAssay assay;
        clock.restart();
        assay.DoAssay();
        const qint64 survey = clock.nsecsElapsed();
        started = countLines(processLog);
        recorded = assay.Records().size();

        bestReference = bestReference < 0 ? reference : std::min(bestReference, reference);
        bestSurvey = bestSurvey < 0 ? survey : std::min(bestSurvey, survey);
    }
    qInstallMessageHandler(nullptr);

    const double referencePerProcessMs = bestReference / 1e6 / products;
    const double surveyPerProductMs = bestSurvey / 1e6 / products;
    const double surveyPerFolderMs = bestSurvey / 1e6 / (products + cheap);
    QTextStream out(stdout);
    out << "folders " << products + cheap << " (" << products << " products, " << cheap
        << " failing a cheap test), best of " << rounds << " rounds\n";
    out << "bare QProcess start per executable: " << referencePerProcessMs << " ms\n";
    out << "survey per product folder: " << surveyPerProductMs
        << " ms, per folder overall: " << surveyPerFolderMs << " ms\n";
    out << "processes started by one survey: " << started << " (products " << products
        << "), records " << recorded << "\n";
    out << "RESULT assay ratio="
        << QString::number(referencePerProcessMs / surveyPerProductMs, 'f', 3)
        << " per_folder_ms=" << QString::number(surveyPerFolderMs, 'f', 3)
        << " per_product_ms=" << QString::number(surveyPerProductMs, 'f', 3)
        << " reference_ms=" << QString::number(referencePerProcessMs, 'f', 3)
        << " processes=" << started << " products=" << products << " cheap_folders=" << cheap
        << " cheap_processes=" << started - products << "\n";
    return (started == products && recorded == products) ? 0 : 1;
}
