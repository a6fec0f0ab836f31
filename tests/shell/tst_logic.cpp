// Pure logic of the application shell: options, environment and settings; the processor
// feature word; byte counts and network error texts.
#include "DlrCpu.h"
#include "DlrOptions.h"
#include "DlrTexts.h"

#include <QTemporaryDir>
#include <QtTest>

class TestLogic : public QObject
{
    Q_OBJECT

private:
    static DlrConfig parse(const QStringList &args, QByteArray *output = nullptr)
    {
        DlrConfig c;
        c.manifestScheme = QStringLiteral("https");
        c.manifestServer = QStringLiteral("default.host");
        QByteArray ignored;
        DlrOptions::applyCommandLine(QStringList{QStringLiteral("prog")} + args, c,
                                     output ? output : &ignored);
        return c;
    }

private Q_SLOTS:
    void serverOptionImpliesHttpUnlessSchemeFollows()
    {
        DlrConfig c = parse({"-manifestserverscheme", "https", "-manifestserver", "h"});
        QCOMPARE(c.manifestScheme, QStringLiteral("http"));
        QCOMPARE(c.manifestServer, QStringLiteral("h"));
        c = parse({"-manifestserver", "h", "-manifestserverscheme", "https"});
        QCOMPARE(c.manifestScheme, QStringLiteral("https"));
    }

    void valueOptionTakesNextArgumentWhateverItLooksLike()
    {
        QByteArray out;
        const DlrConfig c = parse({"-user", "-debug"}, &out);
        QCOMPARE(c.userName, QStringLiteral("-debug"));
        QVERIFY(!c.debugRequested);
        QVERIFY(out.isEmpty());
    }

    void valueOptionWithoutValueIsReportedAsUnknown()
    {
        QByteArray out;
        const DlrConfig c = parse({"-pass", "p", "-user"}, &out);
        QCOMPARE(out, QByteArray("Unknown option -user\n\n"));
        QCOMPARE(c.password, QStringLiteral("p"));
        QVERIFY(c.userName.isNull());
    }

    void unknownOptionsAndStrayArguments()
    {
        QByteArray out;
        const DlrConfig c = parse({"-Debug", "stray.txt", "-dumpManifest", "--bogus"}, &out);
        QCOMPARE(out, QByteArray("Unknown option -Debug\n\nUnknown option --bogus\n\n"));
        QVERIFY(!c.debugRequested); // -Debug is not -debug
        QVERIFY(c.dumpManifest);    // parsing went on after the unknown ones
    }

    void everyValueOptionLandsInItsField()
    {
        const DlrConfig c = parse({"-user", "u", "-pass", " p ", "-manifesturl", "x/y.php",
                                   "-appendmanifest", "a.xml", "-manifest", "m.xml", "-debug"});
        QCOMPARE(c.userName, QStringLiteral("u"));
        QCOMPARE(c.password, QStringLiteral(" p "));
        QCOMPARE(c.manifestPath, QStringLiteral("x/y.php"));
        QCOMPARE(c.appendManifestFile, QStringLiteral("a.xml"));
        QCOMPARE(c.manifestFile, QStringLiteral("m.xml"));
        QVERIFY(c.debugRequested);
        QCOMPARE(c.manifestServer, QStringLiteral("default.host")); // untouched
    }

    void helpStopsParsingWithTheUsageText()
    {
        for (const char *help : {"-help", "--help", "-h"}) {
            DlrConfig c;
            QByteArray out;
            const auto outcome = DlrOptions::applyCommandLine(
                    {"prog", "-bogus", help, "-user", "late"}, c, &out);
            QCOMPARE(outcome, DlrOptions::Outcome::Help);
            QVERIFY(out.startsWith("Unknown option -bogus\n\n -user <user name>\n"));
            QVERIFY(c.userName.isNull()); // nothing after the help option is read
        }
    }

    void usageTextLines()
    {
        const QStringList lines = DlrOptions::usageText().split('\n');
        QCOMPARE(lines.size(), 21);
        QCOMPARE(lines.at(1),
                 QStringLiteral(" -manifestserver <server name>    defaults to scheme to http"));
        QCOMPARE(lines.at(9),
                 QStringLiteral("     reads the manifest from file, disgards server's"));
        QCOMPARE(lines.at(15), QStringLiteral("    this message"));
        QVERIFY(lines.at(16).isEmpty() && lines.at(17).isEmpty() && lines.at(19).isEmpty());
        QCOMPARE(lines.at(18), QStringLiteral("example:"));
        QVERIFY(lines.at(20).startsWith(
                QStringLiteral("    ./Tessaline\\ Installer -debug -manifestserver ")));
        QVERIFY(lines.at(20).endsWith(
                QStringLiteral(" -manifestserverscheme https -dumpManifest")));
    }

    void environment_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("server");
        QTest::newRow("scheme and host") << "https://svc.test"
                                         << "https"
                                         << "svc.test";
        QTest::newRow("host only") << "svc.test"
                                   << "http"
                                   << "svc.test";
        QTest::newRow("with a port: not understood") << "http://svc.test:8080"
                                                     << "orig"
                                                     << "orig.host";
        QTest::newRow("empty") << ""
                               << "http"
                               << "";
    }

    void environment()
    {
        QFETCH(QString, value);
        QFETCH(QString, scheme);
        QFETCH(QString, server);
        DlrConfig c;
        c.manifestScheme = QStringLiteral("orig");
        c.manifestServer = QStringLiteral("orig.host");
        QProcessEnvironment env;
        env.insert(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"), value);
        DlrOptions::applyEnvironment(env, c);
        QCOMPARE(c.manifestScheme, scheme);
        QCOMPARE(c.manifestServer, server);
        QVERIFY(!c.debugRequested);

        QProcessEnvironment debug;
        debug.insert(QStringLiteral("TESSINSTALLER_DEBUG_LOG"), QString()); // set, even empty
        DlrOptions::applyEnvironment(debug, c);
        QVERIFY(c.debugRequested);
    }

    void settingsFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tessinstaller.ini"));
        {
            QSettings s(path, QSettings::IniFormat);
            s.setValue(QStringLiteral("user"), QStringLiteral("ini-user"));
            s.setValue(QStringLiteral("manifestserver"), QStringLiteral("ini.host"));
            s.setValue(QStringLiteral("debug"), QStringLiteral("false"));
            s.setValue(QStringLiteral("dumpManifest"), QStringLiteral("0"));
        }
        DlrConfig c;
        c.manifestScheme = QStringLiteral("https");
        DlrOptions::applySettings(QSettings(path, QSettings::IniFormat), c);
        QCOMPARE(c.userName, QStringLiteral("ini-user"));
        QCOMPARE(c.manifestServer, QStringLiteral("ini.host"));
        QCOMPARE(c.manifestScheme, QStringLiteral("https")); // the server key leaves the scheme
        QVERIFY(c.debugRequested);                           // presence counts, not the value
        QVERIFY(!c.dumpManifest);
        QVERIFY(c.password.isNull()); // absent keys leave members alone

        {
            QSettings s(path, QSettings::IniFormat);
            s.setValue(QStringLiteral("dumpManifest"), QStringLiteral("yes"));
        }
        DlrOptions::applySettings(QSettings(path, QSettings::IniFormat), c);
        QVERIFY(!c.dumpManifest); // not a number: off
        {
            QSettings s(path, QSettings::IniFormat);
            s.setValue(QStringLiteral("dumpManifest"), 2);
        }
        DlrOptions::applySettings(QSettings(path, QSettings::IniFormat), c);
        QVERIFY(c.dumpManifest);
    }

    void featureWord_data()
    {
        QTest::addColumn<quint32>("maxLeaf");
        QTest::addColumn<quint32>("ecx");
        QTest::addColumn<quint32>("edx");
        QTest::addColumn<quint64>("xcr0");
        QTest::addColumn<bool>("passes");

        const quint32 sseEdx = (1u << 25) | (1u << 26);
        const quint32 throughPopcnt = (1u << 0) | (1u << 9) | (1u << 19) | (1u << 20) | (1u << 23);
        const quint32 osxsave = 1u << 27;
        QTest::newRow("everything, no OSXSAVE")
                << 1u << throughPopcnt << sseEdx << quint64(0) << true;
        QTest::newRow("OSXSAVE with XMM state saved")
                << 13u << (throughPopcnt | osxsave) << sseEdx << quint64(0x3) << true;
        QTest::newRow("OSXSAVE with XCR0 bit 1 clear")
                << 13u << (throughPopcnt | osxsave) << sseEdx << quint64(0x1) << false;
        QTest::newRow("SSE4.2 without POPCNT")
                << 1u << (throughPopcnt & ~(1u << 23)) << sseEdx << quint64(0) << false;
        QTest::newRow("no SSE2") << 1u << throughPopcnt << (1u << 25) << quint64(0) << false;
        QTest::newRow("leaf 1 not reported")
                << 0u << throughPopcnt << sseEdx << quint64(0) << false;
    }

    void featureWord()
    {
        QFETCH(quint32, maxLeaf);
        QFETCH(quint32, ecx);
        QFETCH(quint32, edx);
        QFETCH(quint64, xcr0);
        QFETCH(bool, passes);
        DlrPlatform::CpuRegisters regs;
        regs.maxLeaf = maxLeaf;
        regs.leaf1Ecx = ecx;
        regs.leaf1Edx = edx;
        regs.xcr0 = xcr0;
        const uint32_t word = DlrCpu::FeatureWord(regs);
        QCOMPARE(DlrCpu::HasCpuFeatures(word, DlrCpu::RequiredCpuFeatures), passes);
    }

    void featureWordBits()
    {
        DlrPlatform::CpuRegisters regs;
        regs.maxLeaf = 1;
        regs.leaf1Edx = 1u << 25;
        regs.leaf1Ecx = 1u << 23;
        QCOMPARE(DlrCpu::FeatureWord(regs), uint32_t(0x1 | 0x40 | 0x2000000));
        // This machine builds and runs the installer, so it passes the gate.
        QVERIFY(DlrCpu::HasCpuFeatures(DlrCpu::RequiredCpuFeatures));
    }

    void sizeTexts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << qint64(0) << "0b";
        QTest::newRow("negative") << qint64(-1) << "-1b";
        QTest::newRow("1023") << qint64(1023) << "1023b";
        QTest::newRow("1024") << qint64(1024) << "1.000KB";
        QTest::newRow("1536") << qint64(1536) << "1.500KB";
        QTest::newRow("1MiB-1") << qint64(1048575) << "1023.999KB";
        QTest::newRow("1MiB") << qint64(1048576) << "1.00MB";
        QTest::newRow("1GiB-1") << qint64(1073741823) << "1024.00MB";
        QTest::newRow("1GiB") << qint64(1073741824) << "1.000GB";
        QTest::newRow("3GiB") << qint64(3221225472LL) << "3.000GB";
    }

    void sizeTexts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(sizeText(bytes), text);
    }

    void networkErrorTexts()
    {
        QCOMPARE(networkErrorText(QNetworkReply::NoError), QStringLiteral("no error condition."));
        QCOMPARE(networkErrorText(QNetworkReply::OperationCanceledError),
                 QStringLiteral("the operation was canceled via calls to abort() or close() "
                                "before it was finished."));
        QCOMPARE(networkErrorText(QNetworkReply::ContentNotFoundError),
                 QStringLiteral("the remote content was not found at the server (similar to "
                                "HTTP error 404)"));
        QCOMPARE(networkErrorText(QNetworkReply::ProtocolFailure),
                 QStringLiteral("a breakdown in protocol was detected (parsing error, invalid or "
                                "unexpected responses, etc.)"));
        // Codes without a row of their own, including ones the toolkit does name.
        for (int code : {8, 100, 106, 200, 206, 207, 401, 499, 1000})
            QCOMPARE(networkErrorText(QNetworkReply::NetworkError(code)),
                     QStringLiteral("Unknown network error %1").arg(code));
    }
};

QTEST_APPLESS_MAIN(TestLogic)
#include "tst_logic.moc"
