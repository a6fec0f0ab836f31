// Pure logic of the shell: command line, environment and settings; the processor gate; byte
// counts and the fallback of the network error texts.
#include "DlrCpu.h"
#include "DlrOptions.h"
#include "DlrTexts.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {
// The configuration as one line: user pass server scheme path manifest append dump debug;
// a null text shows as "~".
QString render(const DlrConfig &c)
{
    QStringList fields;
    for (const QString *s : {&c.userName, &c.password, &c.manifestServer, &c.manifestScheme,
                             &c.manifestPath, &c.manifestFile, &c.appendManifestFile})
        fields << (s->isNull() ? QStringLiteral("~") : *s);
    fields << QString::number(c.dumpManifest) << QString::number(c.debugRequested);
    return fields.join(QLatin1Char(' '));
}
} // namespace

class TestLogic : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("config");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("nothing") << QStringList() << "~ ~ def.host https ~ ~ ~ 0 0" << QByteArray();
        QTest::newRow("server implies http")
                << QStringList{"-manifestserverscheme", "https", "-manifestserver", "h"}
                << "~ ~ h http ~ ~ ~ 0 0" << QByteArray();
        QTest::newRow("scheme after server")
                << QStringList{"-manifestserver", "h", "-manifestserverscheme", "https"}
                << "~ ~ h https ~ ~ ~ 0 0" << QByteArray();
        QTest::newRow("every value option")
                << QStringList{"-user",        "u",       "-pass",           " p ",
                               "-manifesturl", "x/y.php", "-appendmanifest", "a.xml",
                               "-manifest",    "m.xml",   "-debug"}
                << "u  p  def.host https x/y.php m.xml a.xml 0 1" << QByteArray();
        QTest::newRow("value taken whatever it looks like")
                << QStringList{"-user", "-debug"} << "-debug ~ def.host https ~ ~ ~ 0 0"
                << QByteArray();
        QTest::newRow("value option without value")
                << QStringList{"-pass", "p", "-user"} << "~ p def.host https ~ ~ ~ 0 0"
                << QByteArray("Unknown option -user\n\n");
        QTest::newRow("unknown ones reported, parsing goes on")
                << QStringList{"-Debug", "stray.txt", "-dumpManifest", "--bogus"}
                << "~ ~ def.host https ~ ~ ~ 1 0"
                << QByteArray("Unknown option -Debug\n\nUnknown option --bogus\n\n");
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        DlrConfig c;
        c.manifestServer = QStringLiteral("def.host");
        c.manifestScheme = QStringLiteral("https");
        QByteArray out;
        QCOMPARE(DlrOptions::applyCommandLine(QStringList{"prog"} + args, c, &out),
                 DlrOptions::Outcome::Continue);
        QTEST(render(c), "config");
        QTEST(out, "output");
    }

    void helpStopsParsing()
    {
        for (const char *help : {"-help", "--help", "-h"}) {
            DlrConfig c;
            QByteArray out;
            QCOMPARE(DlrOptions::applyCommandLine({"prog", "-bogus", help, "-user", "late"}, c,
                                                  &out),
                     DlrOptions::Outcome::Help);
            QCOMPARE(out,
                     "Unknown option -bogus\n\n" + DlrOptions::usageText().toLocal8Bit() + '\n');
            QVERIFY(c.userName.isNull()); // nothing after the help option is read
        }
    }

    void environment_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("schemeAndServer");
        QTest::newRow("scheme and host") << "https://svc.test"
                                         << "https svc.test";
        QTest::newRow("host only") << "svc.test"
                                   << "http svc.test";
        QTest::newRow("with a port: not understood") << "http://svc.test:8080"
                                                     << "orig orig.host";
        QTest::newRow("empty") << ""
                               << "http ";
    }

    void environment()
    {
        QFETCH(QString, value);
        DlrConfig c;
        c.manifestScheme = QStringLiteral("orig");
        c.manifestServer = QStringLiteral("orig.host");
        QProcessEnvironment env;
        env.insert(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"), value);
        DlrOptions::applyEnvironment(env, c);
        QTEST(c.manifestScheme + QLatin1Char(' ') + c.manifestServer, "schemeAndServer");
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
        struct Step
        {
            QVariant dump;
            bool dumpOn;
        };
        for (const Step &step : {Step{"0", false}, Step{"yes", false}, Step{2, true}}) {
            {
                QSettings s(path, QSettings::IniFormat);
                s.setValue(QStringLiteral("user"), QStringLiteral("ini-user"));
                s.setValue(QStringLiteral("manifestserver"), QStringLiteral("ini.host"));
                s.setValue(QStringLiteral("debug"), QStringLiteral("false"));
                s.setValue(QStringLiteral("dumpManifest"), step.dump);
            }
            DlrConfig c;
            c.manifestScheme = QStringLiteral("https");
            DlrOptions::applySettings(QSettings(path, QSettings::IniFormat), c);
            // The server key leaves the scheme; "debug" counts by presence; absent keys leave
            // their members alone.
            QCOMPARE(render(c),
                     QStringLiteral("ini-user ~ ini.host https ~ ~ ~ %1 1").arg(int(step.dumpOn)));
        }
    }

    void processorGate_data()
    {
        QTest::addColumn<quint32>("maxLeaf");
        QTest::addColumn<quint32>("ecx");
        QTest::addColumn<quint32>("edx");
        QTest::addColumn<quint64>("xcr0");
        QTest::addColumn<bool>("passes");

        const quint32 edx = (1u << 25) | (1u << 26);
        const quint32 ecx = (1u << 0) | (1u << 9) | (1u << 19) | (1u << 20) | (1u << 23);
        const quint32 osxsave = 1u << 27;
        QTest::newRow("everything, no OSXSAVE") << 1u << ecx << edx << quint64(0) << true;
        QTest::newRow("OSXSAVE, XMM state saved")
                << 13u << (ecx | osxsave) << edx << quint64(0x3) << true;
        QTest::newRow("OSXSAVE, XCR0 bit 1 clear")
                << 13u << (ecx | osxsave) << edx << quint64(0x1) << false;
        QTest::newRow("leaf 1 not reported") << 0u << ecx << edx << quint64(0) << false;
        // One required feature missing is enough to refuse.
        for (int bit : {0, 9, 19, 20, 23})
            QTest::addRow("ecx bit %d missing", bit)
                    << 1u << (ecx & ~(1u << bit)) << edx << quint64(0) << false;
        for (int bit : {25, 26})
            QTest::addRow("edx bit %d missing", bit)
                    << 1u << ecx << (edx & ~(1u << bit)) << quint64(0) << false;
    }

    void processorGate()
    {
        DlrPlatform::CpuRegisters regs;
        QFETCH(quint32, maxLeaf);
        QFETCH(quint32, ecx);
        QFETCH(quint32, edx);
        QFETCH(quint64, xcr0);
        regs.maxLeaf = maxLeaf;
        regs.leaf1Ecx = ecx;
        regs.leaf1Edx = edx;
        regs.xcr0 = xcr0;
        QTEST(DlrCpu::HasCpuFeatures(DlrCpu::FeatureWord(regs), DlrCpu::RequiredCpuFeatures),
              "passes");
    }

    void sizeTexts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        const QList<QPair<qint64, const char *>> rows{{0, "0b"},
                                                      {1023, "1023b"},
                                                      {1024, "1.000KB"},
                                                      {1536, "1.500KB"},
                                                      {1048575, "1023.999KB"},
                                                      {1048576, "1.00MB"},
                                                      {1073741823, "1024.00MB"},
                                                      {1073741824, "1.000GB"},
                                                      {3221225472LL, "3.000GB"}};
        for (const auto &row : rows)
            QTest::newRow(row.second) << row.first << QString::fromLatin1(row.second);
    }

    void sizeTexts()
    {
        QFETCH(qint64, bytes);
        QTEST(sizeText(bytes), "text");
    }

    void networkErrorTexts()
    {
        // A row of the table, and the fallback for codes without one (including ones the
        // toolkit does name).
        QCOMPARE(networkErrorText(QNetworkReply::ContentNotFoundError),
                 QStringLiteral("the remote content was not found at the server (similar to "
                                "HTTP error 404)"));
        for (int code : {8, 106, 207, 499, 1000})
            QCOMPARE(networkErrorText(QNetworkReply::NetworkError(code)),
                     QStringLiteral("Unknown network error %1").arg(code));
    }
};

QTEST_APPLESS_MAIN(TestLogic)
#include "tst_logic.moc"
