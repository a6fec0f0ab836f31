// Real runs of the launcher with -unattended against the stand-in service and made-up machines:
// each exit code, -list, -select and -deselect, a run killed mid-download and run again, and a
// second run with nothing to do. No run may show the password anywhere.
#include "DlrExitCode.h"
#include "FakeMachine.h"
#include "PackageBuilder.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSettings>
#include <QSslCertificate>

using namespace TessTest;

namespace {

const QString Password = QStringLiteral("unattended-Secret-4711");
const QString WS25 = QStringLiteral("TessalineWorkserver-25.1_2301450-win64.msi");
const QString Harrow = QStringLiteral("HarrowQueueManager-25.1_2301450-win64.msi");
const QString Katana = QStringLiteral("TessalineForKatana-25.1-katana6.0_2301450-win64.msi");

// What a run left behind.
struct Run
{
    int code = -1;
    QByteArray out, err, log, reportText;
    QJsonObject report;
    QStringList installed; // offers whose installer ran, in order
};

// One world: a home, a bare machine, the sample products and the service that offers them.
struct World
{
    QTemporaryDir dir;
    FakeMachine machine;
    StandinServer server;
    bool viaSettings = false;
    QStringList emulator; // runs the launcher through this, when given
    QString home() const { return dir.path() + "/home"; }
    QString products() const { return dir.path() + "/products"; }

    bool prepare(const QString &samples, QString *error)
    {
        QDir(dir.path()).mkpath("home/Downloads");
        return runTool("cp", {"-a", samples, products()}, error);
    }

    // Adds an offer the next run will propose: a file of random bytes, or only an announced size.
    void addOffer(const QString &file, qint64 size = 0)
    {
        const QString list = products() + "/products.json";
        QJsonObject root = QJsonDocument::fromJson(readFile(list)).object();
        QJsonObject offer{{"file", file},         {"simpleName", file.section('-', 0, 0)},
                          {"buildId", "2301450"}, {"versionMajor", "25"},
                          {"versionMinor", "1"},  {"defaultBehavior", "show"}};
        if (size > 0) {
            offer.insert("size", double(size));
        } else {
            writeFile(products() + "/" + file, PackageBuilder::randomBytes(40000, 7));
        }
        root.insert("products", root.value("products").toArray() << offer);
        writeFile(list, QJsonDocument(root).toJson());
    }

    QProcess *start(const QStringList &arguments)
    {
        auto *p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name :
             {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "TESSTREE", "TASTREE",
              "DLR_MANIFEST_FILE", "DLR_APPEND_MANIFEST_FILE", "TESSINSTALLER_DEBUG_ENTITLEMENT"})
            env.remove(name);
        env.insert("HOME", home());
        env.insert("XDG_CONFIG_HOME", home() + "/.config");
        env.insert("TESSINSTALLER_ROOT", machine.root());
        env.insert("TESSINSTALLER_RETRY_PAUSE_MS", "20");
        p->setProcessEnvironment(env);
        QStringList args{"-manifestserver",
                         QStringLiteral("127.0.0.1:%1").arg(server.port()),
                         "-manifestserverscheme",
                         server.url("/").scheme(),
                         "-report",
                         dir.path() + "/report.json"};
        if (viaSettings) { // the run and the account from the settings file
            QSettings settings(home() + "/tessinstaller.ini", QSettings::IniFormat);
            settings.setValue("unattended", true);
            settings.setValue("user", "demo");
            settings.setValue("pass", Password);
        } else {
            args += QStringList{"-unattended", "-user", "demo", "-pass", Password};
        }
        const QString launcher = binaryDir() + "/bin/tessinstaller";
        if (!emulator.isEmpty())
            args.prepend(launcher);
        p->start(emulator.value(0, launcher), emulator.mid(1) + args + arguments);
        return p;
    }

    Run finish(QProcess *p)
    {
        Run r;
        if (!p->waitForFinished(90000))
            p->kill();
        p->waitForFinished();
        r.code = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
        r.out = p->readAllStandardOutput();
        r.err = p->readAllStandardError();
        delete p;
        const QDir downloads(home() + "/Downloads");
        const QFileInfoList logs
                = downloads.entryInfoList({"tessinstaller.*.txt"}, QDir::Files, QDir::Time);
        r.log = readFile(logs.isEmpty() ? QString() : logs.first().absoluteFilePath());
        r.reportText = readFile(dir.path() + "/report.json");
        QFile::remove(dir.path() + "/report.json");
        r.report = QJsonDocument::fromJson(r.reportText).object();
        for (const QJsonValue &product : r.report.value("products").toArray()) {
            if (product.toObject().contains("install"))
                r.installed << product.toObject().value("name").toString();
        }
        return r;
    }

    Run run(const QStringList &arguments = {}) { return finish(start(arguments)); }

    QJsonObject state(const char *key) const
    {
        return server.fetchJson("/debug/state").value(key).toObject();
    }
};

// Every run ends with its report, and the password is nowhere to be read.
#define CHECK_RUN(r, expectedCode)                                                                 \
    do {                                                                                           \
        QVERIFY2((r).code == (expectedCode), (r).out + (r).err);                                   \
        QCOMPARE((r).report.value("exitCode").toInt(-100), (expectedCode));                        \
        for (const QByteArray &text : {(r).out, (r).err, (r).log, (r).reportText})                 \
            QVERIFY(!text.contains(Password.toUtf8()));                                            \
    } while (false)

} // namespace

class TestRuns : public QObject
{
    Q_OBJECT

    QTemporaryDir shared;
    QString samples;
    QString certificate, key, fingerprint;

private slots:
    void initTestCase()
    {
        samples = shared.path() + "/samples";
        QString error;
        QVERIFY2(runTool(sourceDir() + "/tools/products/build-samples.sh", {samples}, &error),
                 qPrintable(error));
        certificate = shared.path() + "/leaf.pem";
        key = shared.path() + "/leaf.key";
        QVERIFY2(runTool("openssl",
                         {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                          "/CN=127.0.0.1", "-keyout", key, "-out", certificate},
                         &error),
                 qPrintable(error));
        fingerprint = QSslCertificate::fromPath(certificate)
                              .value(0)
                              .digest(QCryptographicHash::Sha256)
                              .toHex();
        QVERIFY(!fingerprint.isEmpty());
    }

    void exitCodes_data()
    {
        QTest::addColumn<QString>("setup"); // what the world gets before the run
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QString>("output"); // a text the standard output must hold
        const QStringList none;
        QTest::newRow("installed, settings file")
                << "settings" << none << 0 << QStringList{WS25, Harrow} << "Installed 2 products";
        QTest::newRow("select, deselect")
                << "" << QStringList{"-select", "Katana", "-deselect", "^Harrow", "-select", "Nuke"}
                << 0 << QStringList{WS25, Katana} << "Warning: -select Nuke matches no offer";
        QTest::newRow("list") << "" << QStringList{"-list", "-select", "Katana"} << 0 << none
                              << "[x] Tessaline 25.1 for Katana 6.0  (" + Katana;
        QTest::newRow("bad pattern") << "" << QStringList{"-select", "Maya("}
                                     << int(DlrExitCode::BadUsage) << none << "";
        QTest::newRow("bad fingerprint") << "" << QStringList{"-trustcert", "AB:CD"}
                                         << int(DlrExitCode::BadUsage) << none << "";
        QTest::newRow("sign-in refused") << "" << QStringList{"-pass", "wrong"}
                                         << int(DlrExitCode::SignInRefused) << none << "";
        QTest::newRow("manifest broken")
                << "" << QStringList{"-manifesturl", "forum/currentproducts.php?fault=malformed"}
                << int(DlrExitCode::ServiceUnreachable) << none << "";
        QTest::newRow("disk full") << "huge" << none << int(DlrExitCode::NotEnoughDiskSpace) << none
                                   << "Not enough disk space";
        QTest::newRow("download keeps failing")
                << "reset" << none << int(DlrExitCode::DownloadFailed) << none << "";
        QTest::newRow("checksum mismatch")
                << "corrupt" << none << int(DlrExitCode::ChecksumMismatch) << none << "";
        QTest::newRow("certificate refused")
                << "tls" << none << int(DlrExitCode::CertificateRefused) << none << "fingerprint";
        QTest::newRow("certificate trusted") << "tls" << QStringList{"-trustcert", "FINGERPRINT"}
                                             << 0 << QStringList{WS25, Harrow} << "";
        QTest::newRow("processor too old") // a real one, emulated
                << "oldcpu" << none << int(DlrExitCode::ProcessorTooOld) << none << "";
        QTest::newRow("installer error")
                << "broken" << QStringList{"-deselect", "Tessaline|Harrow"}
                << int(DlrExitCode::InstallerError) << QStringList{"Broken-25.1.msi"} << "";
    }

    void exitCodes()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QStringList, installed);
        QFETCH(QString, output);
        World world;
        QString error;
        QVERIFY2(world.prepare(samples, &error), qPrintable(error));
        if (setup == "huge")
            world.addOffer("Huge-25.1.msi", qint64(1) << 50);
        if (setup == "broken")
            world.addOffer("Broken-25.1.msi");
        if (setup == "reset" || setup == "corrupt")
            world.server.addArguments(
                    {"--fault", WS25 + "=" + (setup == "reset" ? "reset:50%" : setup)});
        world.viaSettings = setup == "settings";
        if (setup == "oldcpu") {
#ifdef __SANITIZE_ADDRESS__
            QSKIP("AddressSanitizer's shadow memory does not fit in the processor emulator");
#endif
            // A Core 2 has no SSE4.2 and no POPCNT.
            world.emulator = QStringList{"qemu-x86_64", "-cpu", "core2duo"};
        }
        if (setup == "tls")
            world.server.setTls(certificate, key);
        world.server.setProducts(world.products());
        world.server.setUsers({{"demo", Password}});
        QVERIFY2(world.server.start(), qPrintable(world.server.errorText()));
        arguments.replaceInStrings("FINGERPRINT", fingerprint);

        const Run r = world.run(arguments);
        CHECK_RUN(r, code);
        QCOMPARE(r.installed, installed);
        QVERIFY2(r.out.contains(output.toUtf8()), r.out);
        const QJsonObject firstProduct = r.report.value("products").toArray().first().toObject();
        if (code == DlrExitCode::BadUsage || setup == "oldcpu") // ended before any traffic
            QCOMPARE(world.state("counts").value("/forum/currentproducts.php").toInt(), 0);
        if (arguments.contains("-list") || code == DlrExitCode::NotEnoughDiskSpace)
            QCOMPARE(world.state("bytes").size(), 0);
        if (code == DlrExitCode::DownloadFailed
            || code == DlrExitCode::ChecksumMismatch) { // retried three times, and nothing under
                                                        // the final name
            QCOMPARE(firstProduct.value("download").toObject().value("attempts").toInt(), 4);
            QVERIFY(!QFile::exists(world.home() + "/Downloads/" + WS25));
        }
        if (code == DlrExitCode::InstallerError) // the package's own return code
            QVERIFY(firstProduct.value("install").toObject().value("returnCode").toInt() > 0);
    }

    // Killed in the middle of a download, the next run goes on from where the file ends, and
    // the run after that has nothing to do.
    void resumeThenNothingToDo()
    {
        World world;
        QString error;
        QVERIFY2(world.prepare(samples, &error), qPrintable(error));
        world.server.setProducts(world.products());
        world.server.setUsers({{"demo", Password}});
        world.server.addArguments({"--fault", WS25 + "=stall:100000", "--stall-seconds", "3"});
        QVERIFY2(world.server.start(), qPrintable(world.server.errorText()));

        QProcess *first = world.start({});
        const QString partial = world.home() + "/Downloads/" + WS25 + ".tessdownload";
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() >= 100000, 20000);
        first->kill();
        world.finish(first);
        QVERIFY(world.server.setProductFault(WS25, QString()));

        const Run second = world.run();
        CHECK_RUN(second, 0);
        QCOMPARE(second.installed, (QStringList{WS25, Harrow}));
        const qint64 size = QFileInfo(world.products() + "/" + WS25).size();
        const qint64 sent = world.state("bytes").value(WS25).toVariant().toLongLong();
        QVERIFY2(sent <= size + 4096, qPrintable(QString::number(sent))); // not fetched twice

        const Run third = world.run();
        CHECK_RUN(third, 0);
        QVERIFY(third.report.value("nothingToDo").toBool());
        QVERIFY(third.out.contains("Nothing to do"));
    }
};

TESS_TEST_MAIN(TestRuns)
#include "tst_runs.moc"
