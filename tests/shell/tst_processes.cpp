// The shell as real child processes: help and exit codes, the configuration the application
// object reads (settings file, environment, command line), and the log file.
#include "TestSupport.h"

#include <QProcess>

namespace {

struct Run
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

// A private home (and temporary folder) with a Downloads folder, and no display unless asked.
QProcessEnvironment homeEnvironment(const QString &home, bool display = true)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.remove(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"));
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QLatin1String(name));
    if (display)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QDir(home).mkpath(QStringLiteral("Downloads"));
    QDir(home).mkpath(QStringLiteral("tmp"));
    return env;
}

Run run(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString testBin(const char *name)
{
    return TessTest::binaryDir() + QStringLiteral("/tests/") + QLatin1String(name);
}

QString launcher()
{
    return TessTest::binaryDir() + QStringLiteral("/bin/tessinstaller");
}

QStringList logFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("tessinstaller.*.txt")}, QDir::Files);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The configuration dump of tess_configdump, one "key=value" a line, as one text.
QString dumped(const Run &r, const QStringList &keys)
{
    QStringList values;
    for (const QString &key : keys) {
        QString value = QStringLiteral("<none>");
        for (const QByteArray &line : r.out.split('\n')) {
            if (line.startsWith(key.toLatin1() + '='))
                value = QString::fromLocal8Bit(line.mid(key.size() + 1));
        }
        values << key + QLatin1Char('=') + value;
    }
    return values.join(QLatin1Char(' '));
}

void writeIni(const QString &path, const QList<QPair<QString, QString>> &values)
{
    QSettings s(path, QSettings::IniFormat);
    for (const auto &kv : values)
        s.setValue(kv.first, kv.second);
}

} // namespace

class TestProcesses : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void helpAndNoDisplay()
    {
        QTemporaryDir home;
        const QProcessEnvironment env = homeEnvironment(home.path(), false);
        // Help prints even without a display, and before any log file exists.
        Run r = run(launcher(), {QStringLiteral("-help")}, env);
        QCOMPARE(r.status, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, (DlrOptions::usageText() + QLatin1Char('\n')).toLocal8Bit());
        QVERIFY(logFiles(home.filePath(QStringLiteral("Downloads"))).isEmpty());

        r = run(launcher(), {QStringLiteral("-user"), QStringLiteral("-help")}, env);
        QCOMPARE(r.status, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.err.contains("needs a display"));
    }

    void settingsEnvironmentAndCommandLineInOrder()
    {
        QTemporaryDir home;
        QProcessEnvironment env = homeEnvironment(home.path());
        const QStringList keys{"user", "pass", "server", "scheme", "dump", "loglevel", "url"};
        Run r = run(testBin("tess_configdump"), {QStringLiteral("-Debug")}, env);
        QVERIFY(r.out.startsWith("Unknown option -Debug\n\n"));
        QCOMPARE(dumped(r, {"scheme", "path", "dump", "loglevel"}),
                 QStringLiteral("scheme=https path=forum/currentproducts.php dump=0 loglevel=2"));

        writeIni(home.filePath(QStringLiteral("tessinstaller.ini")),
                 {{"user", "ini-user"},
                  {"pass", "ini-pass"},
                  {"manifestserver", "ini.host"},
                  {"manifesturl", "ini/path.php"},
                  {"dumpManifest", "1"},
                  {"debug", "false"}});
        env.insert(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"),
                   QStringLiteral("https://env.host"));
        // The command line beats the environment, which beats the file.
        r = run(testBin("tess_configdump"), {QStringLiteral("-user"), QStringLiteral("cli")}, env);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(dumped(r, keys),
                 QStringLiteral("user=cli pass=ini-pass server=env.host scheme=https dump=1 "
                                "loglevel=0 url=https://env.host/ini/path.php"));
        // Naming a server means http.
        r = run(testBin("tess_configdump"),
                {QStringLiteral("-manifestserver"), QStringLiteral("cli.host:8080")}, env);
        QCOMPARE(dumped(r, {"url"}), QStringLiteral("url=http://cli.host:8080/ini/path.php"));
    }

    void settingsFileBesideTheProgramUnlessHomeHasOne()
    {
        QTemporaryDir home, install;
        const QString program = install.filePath(QStringLiteral("tess_configdump"));
        QVERIFY(QFile::copy(testBin("tess_configdump"), program));
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
        writeIni(install.filePath(QStringLiteral("tessinstaller.ini")), {{"user", "beside"}});

        Run r = run(program, {}, homeEnvironment(home.path()));
        QCOMPARE(dumped(r, {"user", "pass"}), QStringLiteral("user=beside pass="));
        writeIni(home.filePath(QStringLiteral("tessinstaller.ini")), {{"pass", "home"}});
        r = run(program, {}, homeEnvironment(home.path()));
        QCOMPARE(dumped(r, {"user", "pass"}), QStringLiteral("user= pass=home")); // one file only
    }

    // The log goes to the Downloads folder the platform names; without one, to the temporary
    // folder; a folder that cannot take it leaves logging off and the run going.
    void logLocation_data()
    {
        QTest::addColumn<bool>("withHome");
        QTest::addColumn<bool>("withDownloads");
        QTest::addColumn<QString>("where");
        QTest::newRow("Downloads") << true << true << "Downloads";
        QTest::newRow("no Downloads folder from the platform") << false << true << "tmp";
        QTest::newRow("Downloads folder missing") << true << false << "";
    }

    void logLocation()
    {
        QFETCH(bool, withHome);
        QFETCH(bool, withDownloads);
        QFETCH(QString, where);
        QTemporaryDir home;
        QProcessEnvironment env = homeEnvironment(home.path());
        if (!withHome)
            env.remove(QStringLiteral("HOME"));
        if (!withDownloads)
            QVERIFY(QDir(home.filePath(QStringLiteral("Downloads"))).removeRecursively());

        const Run first = run(testBin("tess_logwriter"), {QStringLiteral("types")}, env);
        const Run second = run(testBin("tess_logwriter"), {QStringLiteral("types")}, env);
        QCOMPARE(first.status, QProcess::NormalExit);
        QCOMPARE(first.exitCode, 0);
        for (const char *folder : {"Downloads", "tmp"}) {
            const int expected = where == QLatin1String(folder) ? 2 : 0; // one per run, kept
            QCOMPARE(logFiles(home.filePath(QLatin1String(folder))).size(), expected);
        }
        const QString path = QString::fromLocal8Bit(first.out.trimmed());
        if (where.isEmpty()) {
            QCOMPARE(path, QString());
            return;
        }
        QCOMPARE(QFileInfo(path).absolutePath(), home.filePath(where));
        QCOMPARE(readAll(path), QByteArray("tessinstaller Debug: a debug line 42\n"
                                           "an info line\n"
                                           "tessinstaller Warning: a warning line\n"
                                           "tessinstaller Critical: a critical line\n"));
    }

    void logUsesTheLocalEightBitEncoding()
    {
        QTemporaryDir home;
        const Run r = run(testBin("tess_logwriter"),
                          {QStringLiteral("codec"), QStringLiteral("ISO-8859-1"),
                           QStringLiteral("caf\u00e9 na\u00efve")},
                          homeEnvironment(home.path()));
        QCOMPARE(readAll(QString::fromLocal8Bit(r.out.trimmed())),
                 QByteArray("tessinstaller Debug: caf\xe9 na\xefve\n"));
    }

    void logIsCompleteWhenTheProcessIsKilled()
    {
        QTemporaryDir home;
        QProcess p;
        p.setProcessEnvironment(homeEnvironment(home.path()));
        p.start(testBin("tess_logwriter"), {QStringLiteral("forever")});
        QVERIFY(p.waitForReadyRead(10000));
        const QString path = QString::fromLocal8Bit(p.readLine().trimmed());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > 2000, 10000);
        p.kill();
        QVERIFY(p.waitForFinished(10000));

        const QByteArray content = readAll(path);
        QVERIFY(content.endsWith('\n'));
        const QList<QByteArray> lines = content.split('\n');
        for (int i = 0; i < lines.size() - 1; ++i)
            QCOMPARE(lines.at(i),
                     "tessinstaller Debug: line " + QByteArray::number(i) + " complete");
    }

    // The real launcher opens the wizard, writes exactly one log file, and copes with a layout
    // that has neither style sheet nor images.
    void launcherRunsWithAndWithoutResources()
    {
        for (bool withResources : {true, false}) {
            QTemporaryDir home, layout;
            QString program = launcher();
            if (!withResources) {
                QDir(layout.path()).mkpath(QStringLiteral("bin"));
                QDir(layout.path()).mkpath(QStringLiteral("lib"));
                program = layout.filePath(QStringLiteral("bin/tessinstaller"));
                QVERIFY(QFile::copy(launcher(), program));
                QVERIFY(QFile::copy(TessTest::binaryDir()
                                            + QStringLiteral("/lib/libtessinstaller.so"),
                                    layout.filePath(QStringLiteral("lib/libtessinstaller.so"))));
                QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
            }
            QProcessEnvironment env = homeEnvironment(home.path());
            env.insert(QStringLiteral("TESSINSTALLER_ROOT"), home.path());
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(program, {QStringLiteral("-user"), QStringLiteral("someone")});
            const QString downloads = home.filePath(QStringLiteral("Downloads"));
            QTRY_COMPARE_WITH_TIMEOUT(logFiles(downloads).size(), 1, 10000);
            const QString log = downloads + QLatin1Char('/') + logFiles(downloads).first();
            QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("Sign in"), 10000);
            QCOMPARE(p.state(), QProcess::Running);
            QCOMPARE(readAll(log).contains("No style sheet at"), !withResources);
            QVERIFY(!readAll(log).contains("Critical"));
            p.terminate();
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(logFiles(downloads).size(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestProcesses)
#include "tst_processes.moc"
