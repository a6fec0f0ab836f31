// Product executables as real child processes: a hung one is stopped and reaped, talkative
// ones and huge build-id files cost bounded memory, and folders that fail a cheap test start
// no process at all.
#include "DlrMachineAssay.h"
#include "FakeMachine.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <sys/types.h>

using TessTest::FakeMachine;

namespace {

QJsonObject jsonObject(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

// A value of /proc/self/status in kB ("VmHWM", "VmRSS").
qint64 statusKb(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(QByteArray(key) + ':'))
            return line.mid(int(qstrlen(key)) + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

QStringList productNames(const DlrMachineAssay &assay)
{
    QStringList names;
    for (const InstalledRecord &r : assay.Records())
        names << r.value(QStringLiteral("ProductName"));
    names.sort();
    return names;
}

} // namespace

class TestProbe : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hungExecutableIsStoppedAndReaped()
    {
        FakeMachine machine;
        QString error;
        QVERIFY2(
                machine.build({"--workserver", "24.4:2226589:hang", "--workserver", "25.0:2500000"},
                              &error),
                qPrintable(error));
        machine.activate();

        TessTest::LogCapture log;
        DlrMachineAssay assay;
        QElapsedTimer clock;
        clock.start();
        assay.DoAssay();
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= 9500 && elapsed < 14000, qPrintable(QString::number(elapsed)));

        // The survey went on past the hung product.
        QCOMPARE(productNames(assay), QStringList{"Tessaline Workserver 25.0"});
        QVERIFY(log.contains(QStringLiteral("Wait failed on process ")));

        QFile pidFile(machine.orrel()
                      + QStringLiteral("/TessalineWorkserver-24.4/bin/tsren.exe.pid"));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toLong());
        QVERIFY(pid > 1);
        // Gone, and reaped: a zombie would still answer kill(pid, 0) and keep /proc/<pid>.
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(errno, ESRCH);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
    }

    void bigOutputAndBigFilesCostLittleMemory()
    {
        FakeMachine machine;
        QString error;
        QVERIFY2(machine.build(jsonObject(R"({"products": [
                    {"kind": "workserver", "version": "24.4", "build": 2226589, "mode": "mega"},
                    {"folder": "TessalineForMaya-24.4", "files": {
                       "plug-ins/Tessaline_for_Maya.py": {},
                       "etc/buildid.txt": {"text": "Tessaline 24.4 linked @2226589 ",
                                           "pad": 104857600}}},
                    {"folder": "TessalineForMaya-25.0", "files": {
                       "plug-ins/Tessaline_for_Maya.py": {},
                       "etc/buildid.txt": {"text": "", "pad": 104857600, "padbyte": "@"}}}]})"),
                               &error),
                 qPrintable(error));
        machine.activate();

        // Reset the peak resident size so the peak below is this survey's alone.
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
            QSKIP("this kernel does not let a process reset its peak resident size");
        clearRefs.close();
        const qint64 before = statusKb("VmRSS");

        DlrMachineAssay assay;
        QElapsedTimer clock;
        clock.start();
        assay.DoAssay();
        const qint64 peakGrowthKb = statusKb("VmHWM") - before;

        QCOMPARE(productNames(assay),
                 QStringList({"Tessaline Workserver 24.4", "Tessaline for Maya 24.4"}));
        // Reading either 100 MB file whole would add hundreds of MB (bytes, then a QString).
        QVERIFY2(peakGrowthKb < 16 * 1024, qPrintable(QString::number(peakGrowthKb)));
        // 16 MB of output must not stall the child on a full pipe.
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }

    void cheapTestsStartNoProcess()
    {
        FakeMachine machine;
        QString error;
        QVERIFY2(machine.build(jsonObject(R"({"products": [
                    {"kind": "workserver", "version": "24.4", "build": 2226589},
                    {"kind": "maya-bridge", "version": "24.4", "maya": "2018", "marker": "none",
                     "source": "spool"},
                    {"folder": "Tessaline Atelier 22.0", "files": {
                       "plug-ins/Tessaline_for_Maya.mll": {},
                       "tesstree/bin/tsren.exe": {"exe": "ok", "version": "22.0"}}},
                    {"folder": "TAS-22.0-maya2018", "files": {
                       "tesstree/bin/tsren.exe": {"exe": "ok", "version": "22.0"}}},
                    {"folder": "Something Else", "files": {
                       "bin/tsren.exe": {"exe": "ok"}, "bin/LocalSpool.exe": {"exe": "ok"}}},
                    {"kind": "maya-bridge", "version": "24.3", "build": 2226000, "maya": "2018",
                     "files": {"bin/LocalSpool.exe": {"exe": "ok", "version": "24.3"}}},
                    {"kind": "maya-bridge", "version": "24.2", "build": 2225000, "maya": "2017",
                     "source": "spool"}]})"),
                               &error),
                 qPrintable(error));
        machine.activate();
        const QString processLog = machine.root() + QStringLiteral("/processes.txt");
        qputenv("TESS_PROCESS_LOG", QFile::encodeName(processLog));

        DlrMachineAssay assay;
        assay.DoAssay();
        qunsetenv("TESS_PROCESS_LOG");

        QCOMPARE(productNames(assay),
                 QStringList({"Tessaline 24.2 for Maya 2017", "Tessaline 24.3 for Maya 2018",
                              "Tessaline Workserver 24.4"}));
        // The server and the bridge without build-id file; nothing else ran.
        QFile log(processLog);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll().trimmed().split('\n').size(), 2);
    }
};

TESS_TEST_MAIN(TestProbe)
#include "tst_probe.moc"
