// The shell as real child processes: the launcher's usage text, the configuration that the
// application object reads (settings file, environment, command line), and the log file.
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

// A private home with a Downloads folder, unless told otherwise.
QProcessEnvironment homeEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.remove(QStringLiteral("XDG_DOWNLOAD_DIR"));
    env.remove(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

Run run(const QString &program,
        const QStringList &args,
        const QProcessEnvironment &env,
        int timeoutMs = 20000)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
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

QHash<QString, QString> parseDump(const QByteArray &out)
{
    QHash<QString, QString> values;
    for (const QByteArray &line : out.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            values.insert(QString::fromLocal8Bit(line.left(eq)),
                          QString::fromLocal8Bit(line.mid(eq + 1)));
    }
    return values;
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
    void helpPrintsUsageAndLeavesNoLog()
    {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral("Downloads"));
        QProcessEnvironment env = homeEnvironment(home.path());
        // Without any display the help must still print.
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));

        const Run r = run(launcher(), {QStringLiteral("-help")}, env);
        QCOMPARE(r.status, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, (DlrOptions::usageText() + QLatin1Char('\n')).toLocal8Bit());
        QVERIFY(logFiles(home.path() + QStringLiteral("/Downloads")).isEmpty());
    }

    void noDisplayIsAClearMessage()
    {
        QTemporaryDir home;
        QProcessEnvironment env = homeEnvironment(home.path());
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        const Run r = run(launcher(), {QStringLiteral("-user"), QStringLiteral("-help")}, env);
        QCOMPARE(r.status, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.err.contains("needs a display"));
    }

    void settingsEnvironmentAndCommandLineInOrder()
    {
        QTemporaryDir home;
        writeIni(home.filePath(QStringLiteral("tessinstaller.ini")),
                 {{"user", "ini-user"},
                  {"pass", "ini-pass"},
                  {"manifestserver", "ini.host"},
                  {"manifestserverscheme", "https"},
                  {"manifesturl", "ini/path.php"},
                  {"dumpManifest", "1"},
                  {"debug", "false"}});
        QProcessEnvironment env = homeEnvironment(home.path());
        env.insert(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"),
                   QStringLiteral("https://env.host"));

        Run r = run(testBin("tess_configdump"), {QStringLiteral("-user"), QStringLiteral("cli")},
                    env);
        QCOMPARE(r.exitCode, 0);
        QHash<QString, QString> c = parseDump(r.out);
        QCOMPARE(c.value("user"), QStringLiteral("cli"));        // command line wins
        QCOMPARE(c.value("pass"), QStringLiteral("ini-pass"));   // only the file set it
        QCOMPARE(c.value("server"), QStringLiteral("env.host")); // environment beats file
        QCOMPARE(c.value("scheme"), QStringLiteral("https"));
        QCOMPARE(c.value("path"), QStringLiteral("ini/path.php"));
        QCOMPARE(c.value("dump"), QStringLiteral("1"));
        QCOMPARE(c.value("loglevel"), QStringLiteral("0")); // key "debug" present
        QCOMPARE(c.value("url"), QStringLiteral("https://env.host/ini/path.php"));

        // The option beats the environment, and naming a server means http.
        r = run(testBin("tess_configdump"),
                {QStringLiteral("-manifestserver"), QStringLiteral("cli.host:8080")}, env);
        c = parseDump(r.out);
        QCOMPARE(c.value("server"), QStringLiteral("cli.host:8080"));
        QCOMPARE(c.value("scheme"), QStringLiteral("http"));
        QCOMPARE(c.value("url"), QStringLiteral("http://cli.host:8080/ini/path.php"));
    }

    void defaultsWithoutAnySource()
    {
        QTemporaryDir home;
        const Run r = run(testBin("tess_configdump"), {}, homeEnvironment(home.path()));
        const QHash<QString, QString> c = parseDump(r.out);
        QCOMPARE(c.value("scheme"), QStringLiteral("https"));
        QCOMPARE(c.value("path"), QStringLiteral("forum/currentproducts.php"));
        QCOMPARE(c.value("loglevel"), QStringLiteral("2"));
        QCOMPARE(c.value("dump"), QStringLiteral("0"));
        QVERIFY(c.value("url").startsWith(QStringLiteral("https://")));
        QVERIFY(c.value("url").endsWith(QStringLiteral("/forum/currentproducts.php")));
    }

    void unknownOptionsAreReportedAndIgnored()
    {
        QTemporaryDir home;
        const Run r = run(testBin("tess_configdump"),
                          {QStringLiteral("-Debug"), QStringLiteral("stray.xml"),
                           QStringLiteral("-pass"), QStringLiteral("  "), QStringLiteral("-user")},
                          homeEnvironment(home.path()));
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.startsWith("Unknown option -Debug\n\nUnknown option -user\n\n"));
        const QHash<QString, QString> c = parseDump(r.out);
        QCOMPARE(c.value("pass"), QStringLiteral("  "));
        QCOMPARE(c.value("loglevel"), QStringLiteral("2"));
    }

    void settingsFileBesideTheProgramUnlessHomeHasOne()
    {
        QTemporaryDir home, install;
        const QString program = install.filePath(QStringLiteral("tess_configdump"));
        QVERIFY(QFile::copy(testBin("tess_configdump"), program));
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
        writeIni(install.filePath(QStringLiteral("tessinstaller.ini")), {{"user", "beside"}});

        Run r = run(program, {}, homeEnvironment(home.path()));
        QCOMPARE(parseDump(r.out).value("user"), QStringLiteral("beside"));

        writeIni(home.filePath(QStringLiteral("tessinstaller.ini")), {{"pass", "home"}});
        r = run(program, {}, homeEnvironment(home.path()));
        const QHash<QString, QString> c = parseDump(r.out);
        QCOMPARE(c.value("pass"), QStringLiteral("home"));
        QCOMPARE(c.value("user"), QString()); // only one file is read
    }

    void logLinesByType()
    {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral("Downloads"));
        const QProcessEnvironment env = homeEnvironment(home.path());
        const Run first = run(testBin("tess_logwriter"), {QStringLiteral("types")}, env);
        const Run second = run(testBin("tess_logwriter"), {QStringLiteral("types")}, env);
        QCOMPARE(first.exitCode, 0);
        QCOMPARE(second.exitCode, 0);

        const QStringList files = logFiles(home.path() + QStringLiteral("/Downloads"));
        QCOMPARE(files.size(), 2); // one file per run, both kept
        const QString path = QString::fromLocal8Bit(first.out.trimmed());
        QVERIFY(path.startsWith(home.path() + QStringLiteral("/Downloads/tessinstaller.")));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("tessinstaller Debug: a debug line 42\n"
                                            "an info line\n"
                                            "tessinstaller Warning: a warning line\n"
                                            "tessinstaller Critical: a critical line\n"));
    }

    void logUsesTheLocalEightBitEncoding()
    {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral("Downloads"));
        const Run r = run(testBin("tess_logwriter"),
                          {QStringLiteral("codec"), QStringLiteral("ISO-8859-1"),
                           QStringLiteral("caf\u00e9 na\u00efve")},
                          homeEnvironment(home.path()));
        QFile file(QString::fromLocal8Bit(r.out.trimmed()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("tessinstaller Debug: caf\xe9 na\xefve\n"));
    }

    void logIsCompleteWhenTheProcessIsKilled()
    {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral("Downloads"));
        QProcess p;
        p.setProcessEnvironment(homeEnvironment(home.path()));
        p.start(testBin("tess_logwriter"), {QStringLiteral("forever")});
        QVERIFY(p.waitForReadyRead(10000));
        const QString path = QString::fromLocal8Bit(p.readLine().trimmed());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > 2000, 10000);
        p.kill();
        QVERIFY(p.waitForFinished(10000));

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith('\n'));
        const QList<QByteArray> lines = content.split('\n');
        for (int i = 0; i < lines.size() - 1; ++i)
            QCOMPARE(lines.at(i),
                     "tessinstaller Debug: line " + QByteArray::number(i) + " complete");
    }

    void noDownloadsFolderMeansNoLogButTheRunGoesOn()
    {
        QTemporaryDir home; // no Downloads folder inside
        const Run r = run(testBin("tess_logwriter"), {QStringLiteral("types")},
                          homeEnvironment(home.path()));
        QCOMPARE(r.status, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.trimmed(), QByteArray());
    }

    // The real launcher opens the wizard, writes exactly one log file, and copes with a layout
    // that has neither style sheet nor images.
    void launcherRunsWithAndWithoutResources()
    {
        for (bool withResources : {true, false}) {
            QTemporaryDir home, layout;
            QDir(home.path()).mkpath(QStringLiteral("Downloads"));
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
            const QString downloads = home.path() + QStringLiteral("/Downloads");
            QTRY_COMPARE_WITH_TIMEOUT(logFiles(downloads).size(), 1, 10000);
            const QString log = downloads + QLatin1Char('/') + logFiles(downloads).first();
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > 0, 10000);
            auto logText = [&log] {
                QFile f(log);
                f.open(QIODevice::ReadOnly);
                return f.readAll();
            };
            QTRY_VERIFY_WITH_TIMEOUT(logText().contains("Sign in"), 10000);
            QCOMPARE(p.state(), QProcess::Running);
            QCOMPARE(logText().contains("No style sheet at"), !withResources);
            QVERIFY(!logText().contains("Critical"));
            p.terminate();
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(logFiles(downloads).size(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestProcesses)
#include "tst_processes.moc"
