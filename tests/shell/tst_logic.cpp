// Pure logic of the shell: the command line (the settings file and the environment, and their
// order, are the process test's); the processor gate; byte counts and the fallback of the
// network error texts.
#include "DlrCpu.h"
#include "DlrOptions.h"
#include "DlrTexts.h"

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
    void commandLine()
    {
        const QByteArray usage = DlrOptions::usageText().toLocal8Bit() + '\n';
        const char *plain = "~ ~ def.host https ~ ~ ~ 0 0";
        // Arguments separated by '|', the configuration, the output.
        QList<QByteArrayList> rows{
                {"-manifestserverscheme|https|-manifestserver|h", "~ ~ h http ~ ~ ~ 0 0", ""},
                {"-manifestserver|h|-manifestserverscheme|https", "~ ~ h https ~ ~ ~ 0 0", ""},
                {"-user|u|-pass| p "
                 "|-manifesturl|x/y.php|-appendmanifest|a.xml|-manifest|m.xml|-debug",
                 "u  p  def.host https x/y.php m.xml a.xml 0 1", ""},
                {"-user|-debug", "-debug ~ def.host https ~ ~ ~ 0 0", ""}, // whatever it looks like
                {"-pass|p|-user", "~ p def.host https ~ ~ ~ 0 0", "Unknown option -user\n\n"},
                {"-Debug|stray.txt|-dumpManifest|--bogus", "~ ~ def.host https ~ ~ ~ 1 0",
                 "Unknown option -Debug\n\nUnknown option --bogus\n\n"}};
        // Help stops the parsing: nothing after it is read.
        for (const char *help : {"-help", "--help", "-h"})
            rows.append({"-bogus|" + QByteArray(help) + "|-user|late", plain,
                         "Unknown option -bogus\n\n" + usage});
        for (const QByteArrayList &row : rows) {
            DlrConfig c;
            c.manifestServer = QStringLiteral("def.host");
            c.manifestScheme = QStringLiteral("https");
            QByteArray out;
            const QStringList args = QString(row[0]).split('|', Qt::SkipEmptyParts);
            QCOMPARE(DlrOptions::applyCommandLine(QStringList{"prog"} + args, c, &out),
                     row[2].endsWith(usage) ? DlrOptions::Outcome::Help
                                            : DlrOptions::Outcome::Continue);
            QCOMPARE(row[0] + ": " + render(c).toLocal8Bit() + '\n' + out,
                     row[0] + ": " + row[1] + '\n' + row[2]);
        }
    }

    void processorGate()
    {
        using Regs = DlrPlatform::CpuRegisters;
        const quint32 edx = (1u << 25) | (1u << 26);
        const quint32 ecx = (1u << 0) | (1u << 9) | (1u << 19) | (1u << 20) | (1u << 23);
        const quint32 osxsave = 1u << 27;
        QList<QPair<Regs, bool>> rows{{Regs{1, ecx, edx, 0}, true},
                                      {Regs{13, ecx | osxsave, edx, 0x3}, true}, // XMM state saved
                                      {Regs{13, ecx | osxsave, edx, 0x1}, false},
                                      {Regs{0, ecx, edx, 0}, false}}; // leaf 1 not reported
        // One required feature missing is enough to refuse.
        for (int bit : {0, 9, 19, 20, 23})
            rows.append({Regs{1, ecx & ~(1u << bit), edx, 0}, false});
        for (int bit : {25, 26})
            rows.append({Regs{1, ecx, edx & ~(1u << bit), 0}, false});
        for (const auto &row : rows)
            QVERIFY2(DlrCpu::HasCpuFeatures(DlrCpu::FeatureWord(row.first),
                                            DlrCpu::RequiredCpuFeatures)
                             == row.second,
                     qPrintable(QString::number(row.first.leaf1Ecx | row.first.leaf1Edx, 16)));
    }

    void texts()
    {
        QStringList sizes;
        for (qint64 bytes : {0LL, 1023LL, 1024LL, 1536LL, 1048575LL, 1048576LL, 1073741823LL,
                             1073741824LL, 3221225472LL})
            sizes << sizeText(bytes);
        QCOMPARE(sizes.join(' '), QStringLiteral("0b 1023b 1.000KB 1.500KB 1023.999KB 1.00MB "
                                                 "1024.00MB 1.000GB 3.000GB"));
        // Network error codes without a row of the table, including ones the toolkit names.
        for (int code : {8, 106, 207, 499, 1000})
            QCOMPARE(networkErrorText(QNetworkReply::NetworkError(code)),
                     QStringLiteral("Unknown network error %1").arg(code));
    }
};

QTEST_APPLESS_MAIN(TestLogic)
#include "tst_logic.moc"
