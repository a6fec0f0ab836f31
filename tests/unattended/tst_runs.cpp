// Real runs of the launcher with -unattended against the stand-in service and made-up machines:
// each exit code with the line an administrator reads, -list, -select and -deselect, a run
// killed mid-download and run again, and a second run with nothing to do. No run may show the
// password anywhere, write to standard error, or log a line without its level.
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
const QString Houdini = QStringLiteral("TessalineForHoudini-25.1-houdini20.0_2301450-win64.msi");

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
    StandinServer mirror; // a second host, with a certificate of its own
    bool viaSettings = false;
    QStringList emulator;    // runs the launcher through this, when given
    QStringList environment; // NAME=value, added to the launcher's
    QString home() const { return dir.path() + "/home"; }
    QString products() const { return dir.path() + "/products"; }

    bool prepare(const QString &samples, QString *error)
    {
        QDir(dir.path()).mkpath("home/Downloads");
        QDir(dir.path()).mkpath("tmp");
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
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "TESSTREE",
                                 "TASTREE", "DLR_MANIFEST_FILE", "DLR_APPEND_MANIFEST_FILE",
                                 "TESSINSTALLER_DEBUG_ENTITLEMENT", "XDG_RUNTIME_DIR"})
            env.remove(name);
        for (const QString &pair : environment)
            env.insert(pair.section('=', 0, 0), pair.section('=', 1));
        env.insert("HOME", home());
        env.insert("TMPDIR", dir.path() + "/tmp");
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

// Every run ends with its report (unless it cannot be written), standard error stays empty,
// every log line has its level, and the password is nowhere to be read.
#define CHECK_RUN(r, expectedCode, withReport)                                                     \
    do {                                                                                           \
        QVERIFY2((r).code == (expectedCode) && (r).err.isEmpty(), (r).out + (r).err);              \
        QCOMPARE((r).report.value("exitCode").toInt(-100), (withReport) ? (expectedCode) : -100);  \
        for (const QByteArray &line : (r).log.split('\n'))                                         \
            QVERIFY2(line.isEmpty() || line.startsWith("tessinstaller ") || line == "<missing>",   \
                     line);                                                                        \
        for (const QByteArray &text : {(r).out, (r).err, (r).log, (r).reportText})                 \
            QVERIFY(!text.contains(Password.toUtf8()));                                            \
    } while (false)

} // namespace

class TestRuns : public QObject
{
    Q_OBJECT

    QTemporaryDir shared;
    QString samples;
    QString certificate, key, fingerprint, certificate2, key2, fingerprint2;

private slots:
    void initTestCase()
    {
        samples = shared.path() + "/samples";
        QString error;
        QVERIFY2(runTool(sourceDir() + "/tools/products/build-samples.sh", {samples}, &error),
                 qPrintable(error));
        // Two hosts, each with a certificate of its own.
        for (int i : {0, 1}) {
            QString &cert = i ? certificate2 : certificate, &k = i ? key2 : key;
            cert = shared.path() + QString("/leaf%1.pem").arg(i);
            k = cert + ".key";
            QVERIFY2(runTool("openssl",
                             {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                              "-subj", "/CN=127.0.0.1", "-keyout", k, "-out", cert},
                             &error),
                     qPrintable(error));
            (i ? fingerprint2 : fingerprint) = QSslCertificate::fromPath(cert)
                                                       .value(0)
                                                       .digest(QCryptographicHash::Sha256)
                                                       .toHex();
        }
        QVERIFY(!fingerprint.isEmpty() && fingerprint != fingerprint2);
    }

    void exitCodes_data()
    {
        QTest::addColumn<QString>("setup"); // what the world gets before the run
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QString>("output"); // texts the standard output must hold, one a line
        const QStringList none;
        const QString ws25Line = "[ ] Tessaline Workserver 25.1  (" + WS25 + ", build 2301450";
        QTest::newRow("installed, settings file")
                << "settings" << none << 0 << QStringList{WS25, Harrow} << "Installed 2 products";
        QTest::newRow("select, deselect, the last line at 100 %")
                << "" << QStringList{"-select", "Katana|Houdini", "-deselect",
                                     "^Harrow", "-select",        "Nuke"}
                << 0 << QStringList{WS25, Houdini, Katana}
                << "Warning: -select Nuke matches no offer\n[100%] Installed ";
        QTest::newRow("list, with a record of earlier installs")
                << "ledger" << QStringList{"-list", "-select", "Katana"} << 0 << none
                << "[x] Tessaline 25.1 for Katana 6.0  (" + Katana + "\n" + ws25Line
                           + ", installed by an earlier run)";
        QTest::newRow("bad pattern")
                << "" << QStringList{"-select", "Maya("} << int(DlrExitCode::BadUsage) << none
                << "-select Maya(: not a valid regular expression";
        QTest::newRow("bad fingerprint") << "" << QStringList{"-trustcert", "AB:CD"}
                                         << int(DlrExitCode::BadUsage) << none << "AB:CD";
        QTest::newRow("unknown option")
                << "" << QStringList{"-bogus"} << int(DlrExitCode::BadUsage) << none
                << "Stopped: Unknown option -bogus; run with -help to see the options";
        QTest::newRow("option without its value")
                << "" << QStringList{"-select"} << int(DlrExitCode::BadUsage) << none
                << "Stopped: -select needs a value";
        QTest::newRow("report cannot be written")
                << "" << QStringList{"-report", "DIR/none/report.json"}
                << int(DlrExitCode::BadUsage) << none
                << "Stopped: DIR/none/report.json cannot be written";
        QTest::newRow("sign-in refused")
                << "" << QStringList{"-pass", "wrong"} << int(DlrExitCode::SignInRefused) << none
                << "Sign-in refused: Invalid forum user ID or password";
        QTest::newRow("manifest broken")
                << "" << QStringList{"-manifesturl", "forum/currentproducts.php?fault=malformed"}
                << int(DlrExitCode::ServiceUnreachable) << none
                << "service: bad manifest reply (line ";
        QTest::newRow("service refuses connections")
                << "" << QStringList{"-manifestserver", "127.0.0.1:1"}
                << int(DlrExitCode::ServiceUnreachable) << none << "service: Connection refused";
        QTest::newRow("host not found") << "" << QStringList{"-manifestserver", "tess.invalid"}
                                        << int(DlrExitCode::ServiceUnreachable) << none
                                        << "service: Host tess.invalid not found";
        QTest::newRow("HTTP 500") << ""
                                  << QStringList{"-manifesturl",
                                                 "forum/currentproducts.php?fault=500"}
                                  << int(DlrExitCode::ServiceUnreachable) << none
                                  << "service: HTTP 500 Internal Server Error";
        QTest::newRow("TLS to a plain service")
                << "" << QStringList{"-manifestserverscheme", "https"}
                << int(DlrExitCode::ServiceUnreachable) << none << "service: SSL handshake failed";
        QTest::newRow("manifest file broken")
                << "badfile" << QStringList{"-manifest", "DIR/bad.xml"}
                << int(DlrExitCode::ServiceUnreachable) << none
                << "Reading the manifest from DIR/bad.xml\nBad manifest file DIR/bad.xml: line 3, "
                   "column";
        QTest::newRow("manifest file missing")
                << "nofile" << none << int(DlrExitCode::ServiceUnreachable) << none
                << "Bad manifest file DIR/none.xml: cannot be read: No such file or directory";
        QTest::newRow("appended manifest empty")
                << "emptyappend" << none << int(DlrExitCode::ServiceUnreachable) << none
                << "Signing in to 127.0.0.1 as demo\nBad manifest file DIR/empty.xml: empty";
        QTest::newRow("disk full") << "huge" << none << int(DlrExitCode::NotEnoughDiskSpace) << none
                                   << "Not enough disk space";
        QTest::newRow("no Downloads folder")
                << "nodownloads" << none << 0 << QStringList{WS25, Harrow}
                << "Downloading into DIR/tmp/tessinstaller-UID: the Downloads folder";
        QTest::newRow("own temporary folder open to others")
                << "opentemp" << none << int(DlrExitCode::DownloadFailed) << none
                << "No folder of this user's own to download into";
        QTest::newRow("download keeps failing")
                << "reset" << none << int(DlrExitCode::DownloadFailed) << none << "failed 4 times";
        QTest::newRow("checksum mismatch")
                << "corrupt" << none << int(DlrExitCode::ChecksumMismatch) << none
                << "checksum mismatch";
        QTest::newRow("certificate refused")
                << "tls" << none << int(DlrExitCode::CertificateRefused) << none
                << "its SHA-256 fingerprint is FINGERPRINT";
        QTest::newRow("certificate trusted")
                << "tls" << QStringList{"-trustcert", "FINGERPRINT"} << 0
                << QStringList{WS25, Harrow} << "Installed 2 products";
        QTest::newRow("one host's certificate trusted, the other's refused")
                << "twohosts" << QStringList{"-trustcert", "FINGERPRINT"}
                << int(DlrExitCode::CertificateRefused) << none
                << "its SHA-256 fingerprint is FINGERPRINT2";
        QTest::newRow("both hosts' certificates trusted")
                << "twohosts"
                << QStringList{"-trustcert", "FINGERPRINT", "-trustcert", "FINGERPRINT2"} << 0
                << QStringList{WS25, Harrow} << "Installed 2 products";
        QTest::newRow("processor too old") // a real one, emulated
                << "oldcpu" << none << int(DlrExitCode::ProcessorTooOld) << none << "too old";
        QTest::newRow("installer error")
                << "broken" << QStringList{"-deselect", "Tessaline|Harrow"}
                << int(DlrExitCode::InstallerError) << QStringList{"Broken-25.1.msi"}
                << "failed with return code";
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
        const QString own = world.dir.path() + "/tmp/tessinstaller-"
                            + QString::number(QFileInfo(world.dir.path()).ownerId());
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
        if (setup == "badfile")
            writeFile(world.dir.filePath("bad.xml"),
                      "<?xml version=\"1.0\"?>\n<Manifest>\n  <ProductInfo><Name>x</Nme>\n");
        if (setup == "nofile")
            world.environment << "DLR_MANIFEST_FILE=" + world.dir.filePath("none.xml");
        if (setup == "emptyappend")
            world.environment << "DLR_APPEND_MANIFEST_FILE="
                                         + writeFile(world.dir.filePath("empty.xml"), "");
        if (setup == "ledger")
            writeFile(world.home() + "/Downloads/tessinstaller-installed.json",
                      QJsonDocument(QJsonObject{{WS25, "2301450"}}).toJson());
        if (setup == "nodownloads" || setup == "opentemp")
            QVERIFY(QDir(world.home() + "/Downloads").removeRecursively());
        if (setup == "opentemp") // made by another program, or by someone else
            QVERIFY(QDir().mkpath(own)
                    && QFile::setPermissions(own, QFileDevice::Permissions(0x7777)));
        if (setup == "tls" || setup == "twohosts")
            world.server.setTls(certificate, key);
        if (setup == "twohosts") { // the manifest's download addresses lead to the other host
            world.mirror.setTls(certificate2, key2);
            world.mirror.setProducts(world.products());
            QVERIFY2(world.mirror.start(), qPrintable(world.mirror.errorText()));
            world.server.addArguments({"--download-base", world.mirror.url("").toString()});
        }
        world.server.setProducts(world.products());
        world.server.setUsers({{"demo", Password}});
        QVERIFY2(world.server.start(), qPrintable(world.server.errorText()));
        const auto fill = [&](QString text) { // the placeholders of the rows
            return text.replace("FINGERPRINT2", fingerprint2)
                    .replace("FINGERPRINT", fingerprint)
                    .replace("DIR", world.dir.path())
                    .replace("UID", own.section('-', -1));
        };
        output = fill(output);
        for (QString &argument : arguments)
            argument = fill(argument);

        const Run r = world.run(arguments);
        CHECK_RUN(r, code, !output.contains("report.json cannot be written"));
        QCOMPARE(r.installed, installed);
        for (const QString &text : output.split('\n'))
            QVERIFY2(r.out.contains(text.toUtf8()), r.out);
        const QJsonObject firstProduct = r.report.value("products").toArray().first().toObject();
        // Ended before any traffic, or read the manifest from a file.
        if (code == DlrExitCode::BadUsage || setup == "oldcpu" || r.out.contains("Reading the"))
            QCOMPARE(world.state("counts").value("/forum/currentproducts.php").toInt(), 0);
        if (arguments.contains("-list") || code == DlrExitCode::NotEnoughDiskSpace
            || setup == "opentemp")
            QCOMPARE(world.state("bytes").size(), 0);
        if (code == DlrExitCode::DownloadFailed
            || code == DlrExitCode::ChecksumMismatch) { // nothing under the final name
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
        CHECK_RUN(second, 0, true);
        QCOMPARE(second.installed, (QStringList{WS25, Harrow}));
        const qint64 size = QFileInfo(world.products() + "/" + WS25).size();
        const qint64 sent = world.state("bytes").value(WS25).toVariant().toLongLong();
        QVERIFY2(sent <= size + 4096, qPrintable(QString::number(sent))); // not fetched twice

        const Run third = world.run();
        CHECK_RUN(third, 0, true);
        QVERIFY(third.report.value("nothingToDo").toBool());
        QVERIFY(third.out.contains("Nothing to do"));
    }
};

TESS_TEST_MAIN(TestRuns)
#include "tst_runs.moc"
