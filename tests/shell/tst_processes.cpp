// The shell as real child processes: help, the configuration's sources, the log file.
#include "DlrHost.h"
#include "TestSupport.h"

#include <QProcess>

namespace {

const QString Child = TessTest::binaryDir() + QStringLiteral("/tests/tess_shellchild");

// A private home (and temporary folder) with a Downloads folder; an offscreen display.
QProcessEnvironment homeEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name :
         {"TESSINSTALLER_DEBUG_ENTITLEMENT", "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QDir(home).mkpath(QStringLiteral("Downloads"));
    QDir(home).mkpath(QStringLiteral("tmp"));
    return env;
}

// Exit code (-1: crashed or hung), then standard output (and errors when merged).
QByteArray run(const QString &program,
               const QStringList &args,
               const QProcessEnvironment &env,
               QProcess::ProcessChannelMode channels = QProcess::SeparateChannels)
{
    QProcess p;
    p.setProcessChannelMode(channels);
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(20000))
        p.kill();
    p.waitForFinished();
    const int code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QByteArray::number(code) + '\n' + p.readAllStandardOutput();
}

} // namespace

class TestProcesses : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Help prints without a display and before any log file exists. The settings file beside
    // the program counts only while home has none; command line > environment > file.
    void helpThenSettingsEnvironmentAndCommandLineInOrder()
    {
        QTemporaryDir home, install;
        QProcessEnvironment env = homeEnvironment(home.path());
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        const QString launcher = TessTest::binaryDir() + QStringLiteral("/bin/tessinstaller");
        QCOMPARE(run(launcher, {QStringLiteral("-help")}, env),
                 "0\n" + (DlrOptions::usageText() + '\n').toLocal8Bit());
        QVERIFY(QDir(home.filePath(QStringLiteral("Downloads"))).isEmpty());
        const QByteArray refused = run(launcher, {"-user", "-help"}, env, QProcess::MergedChannels);
        QVERIFY(refused.startsWith("1\n") && refused.contains("needs a display"));
        env = homeEnvironment(home.path());

        const QString program = install.filePath(QStringLiteral("tess_shellchild"));
        QVERIFY(QFile::copy(Child, program));
        QSettings(install.filePath("tessinstaller.ini"), QSettings::IniFormat)
                .setValue("user", "beside");
        QCOMPARE(run(program, {QStringLiteral("-Debug")}, env),
                 "0\nUnknown option -Debug\n\nbeside||https|0|2|https://"
                         + QByteArray(DlrHost::WebHost) + "/forum/currentproducts.php\n");
        QSettings ini(home.filePath("tessinstaller.ini"), QSettings::IniFormat);
        for (const QString kv : {"pass=ini-pass", "manifestserver=ini.host",
                                 "manifesturl=ini/path.php", "dumpManifest=1", "debug=false"})
            ini.setValue(kv.section('=', 0, 0), kv.section('=', 1));
        ini.sync();
        env.insert(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"),
                   QStringLiteral("https://env.host"));
        QCOMPARE(run(program, {}, env), "0\n|ini-pass|https|1|0|https://env.host/ini/path.php\n");
        QCOMPARE(run(program, {"-manifestserver", "cli.host:8080", "-user", "cli"}, env),
                 "0\ncli|ini-pass|http|1|0|http://cli.host:8080/ini/path.php\n");
    }

    // The log goes to the platform's Downloads folder, else the user's own temporary folder; a
    // folder that cannot take it leaves logging off and the run going. Every line carries its
    // level; lines in the local 8-bit encoding.
    void logLocation()
    {
        // Downloads; no HOME, so the own temporary folder; Downloads named but not there; no
        // HOME and an own temporary folder that others may open: these two log nothing.
        for (const QString where : {"Downloads", "tmp", "", "open"}) {
            QTemporaryDir home;
            QProcessEnvironment env = homeEnvironment(home.path());
            const QString own = home.filePath("tmp/tessinstaller-")
                                + QString::number(QFileInfo(home.path()).ownerId());
            if (where == "tmp" || where == "open")
                env.remove(QStringLiteral("HOME"));
            if (where == "open")
                QVERIFY(QDir().mkpath(own)
                        && QFile::setPermissions(own, QFileDevice::Permissions(0x7777)));
            if (where.isEmpty())
                QVERIFY(QDir(home.filePath(QStringLiteral("Downloads"))).removeRecursively());
            const QString folder = where == "Downloads" ? home.filePath(where)
                                   : where == "tmp"     ? own
                                                        : QString();
            const QByteArray out
                    = run(Child, {"log", QStringLiteral("caf\u00e9\nna\u00efve")}, env);
            const QString path = QString::fromLocal8Bit(out.mid(2).trimmed());
            QCOMPARE(out.left(2) + QFileInfo(path).absolutePath().toLocal8Bit(),
                     "0\n" + folder.toLocal8Bit());
            QCOMPARE(TessTest::readFile(path),
                     QByteArray(folder.isEmpty() ? "<missing>"
                                                 : "tessinstaller Debug: a debug line 42\n"
                                                   "tessinstaller Info: an info line\n"
                                                   "tessinstaller Warning: a warning line\n"
                                                   "tessinstaller Critical: caf\xe9\n"
                                                   "tessinstaller Critical: na\xefve\n"));
        }
    }
};

QTEST_GUILESS_MAIN(TestProcesses)
#include "tst_processes.moc"
