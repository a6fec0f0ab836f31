// The shell as real child processes: help and exit codes, the configuration the application
// object reads (settings file, environment, command line), and the log file. The launcher's
// wizard itself is driven by the end-to-end run.
#include "DlrHost.h"
#include "TestSupport.h"

#include <QProcess>

#include <tuple>

namespace {

// A private home (and temporary folder) with a Downloads folder, and no display unless asked.
QProcessEnvironment homeEnvironment(const QString &home, bool display = true)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    for (const char *name :
         {"TESSINSTALLER_DEBUG_ENTITLEMENT", "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QLatin1String(name));
    if (display)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QDir(home).mkpath(QStringLiteral("Downloads"));
    QDir(home).mkpath(QStringLiteral("tmp"));
    return env;
}

// Runs a program to its end; exit code -1 when it crashed or did not end.
int run(const QString &program,
        const QStringList &args,
        const QProcessEnvironment &env,
        QByteArray *out,
        QByteArray *err = nullptr)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(20000))
        p.kill();
    p.waitForFinished();
    *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

const QString Child = TessTest::binaryDir() + QStringLiteral("/tests/tess_shellchild");
const QString Launcher = TessTest::binaryDir() + QStringLiteral("/bin/tessinstaller");

QStringList logFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("tessinstaller.*.txt")}, QDir::Files);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Writes "key=value;key=value" into a settings file.
void writeIni(const QString &path, const QString &values)
{
    QSettings s(path, QSettings::IniFormat);
    for (const QString &kv : values.split(';'))
        s.setValue(kv.section('=', 0, 0), kv.section('=', 1));
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
        QByteArray out, err;
        // Help prints even without a display, and before any log file exists.
        QCOMPARE(run(Launcher, {QStringLiteral("-help")}, env, &out), 0);
        QCOMPARE(out, (DlrOptions::usageText() + QLatin1Char('\n')).toLocal8Bit());
        QVERIFY(logFiles(home.filePath(QStringLiteral("Downloads"))).isEmpty());
        QCOMPARE(run(Launcher, {QStringLiteral("-user"), QStringLiteral("-help")}, env, &out, &err),
                 1);
        QVERIFY(err.contains("needs a display"));
    }

    // The settings file beside the program counts only while home has none; the command line
    // beats the environment, which beats the file; naming a server means http.
    void settingsEnvironmentAndCommandLineInOrder()
    {
        QTemporaryDir home, install;
        const QString program = install.filePath(QStringLiteral("tess_shellchild"));
        QVERIFY(QFile::copy(Child, program));
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
        writeIni(install.filePath(QStringLiteral("tessinstaller.ini")), "user=beside");
        QProcessEnvironment env = homeEnvironment(home.path());
        QByteArray out;
        QCOMPARE(run(program, {QStringLiteral("-Debug")}, env, &out), 0);
        QCOMPARE(out, "Unknown option -Debug\n\nbeside||https|0|2|https://"
                              + QByteArray(DlrHost::WebHost) + "/forum/currentproducts.php\n");

        writeIni(home.filePath(QStringLiteral("tessinstaller.ini")),
                 "pass=ini-pass;manifestserver=ini.host;manifesturl=ini/path.php;dumpManifest=1;"
                 "debug=false");
        env.insert(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"),
                   QStringLiteral("https://env.host"));
        run(program, {}, env, &out);
        QCOMPARE(out, QByteArray("|ini-pass|https|1|0|https://env.host/ini/path.php\n"));
        run(program, {"-manifestserver", "cli.host:8080", "-user", "cli"}, env, &out);
        QCOMPARE(out, QByteArray("cli|ini-pass|http|1|0|http://cli.host:8080/ini/path.php\n"));
    }

    // The log goes to the Downloads folder the platform names; without one, to the temporary
    // folder; a folder that cannot take it leaves logging off and the run going. Lines are in
    // the local 8-bit encoding.
    void logLocation()
    {
        // where: the folder the log lands in, "" for none; with HOME; with a Downloads folder.
        for (const auto &row :
             {std::make_tuple("Downloads", true, true), std::make_tuple("tmp", false, true),
              std::make_tuple("", true, false)}) {
            const QString where = QLatin1String(std::get<0>(row));
            QTemporaryDir home;
            QProcessEnvironment env = homeEnvironment(home.path());
            if (!std::get<1>(row))
                env.remove(QStringLiteral("HOME"));
            if (!std::get<2>(row))
                QVERIFY(QDir(home.filePath(QStringLiteral("Downloads"))).removeRecursively());

            QByteArray first, second;
            QCOMPARE(run(Child, {QStringLiteral("types")}, env, &first), 0);
            run(Child, {"codec", "ISO-8859-1", QStringLiteral("caf\u00e9 na\u00efve")}, env,
                &second);
            for (const char *folder : {"Downloads", "tmp"}) // one per run, kept
                QCOMPARE(logFiles(home.filePath(QLatin1String(folder))).size(),
                         where == QLatin1String(folder) ? 2 : 0);
            const QString path = QString::fromLocal8Bit(first.trimmed());
            QCOMPARE(path.isEmpty(), where.isEmpty());
            if (where.isEmpty())
                continue;
            QCOMPARE(QFileInfo(path).absolutePath(), home.filePath(where));
            QCOMPARE(readAll(path), QByteArray("tessinstaller Debug: a debug line 42\n"
                                               "an info line\n"
                                               "tessinstaller Warning: a warning line\n"
                                               "tessinstaller Critical: a critical line\n"));
            QCOMPARE(readAll(QString::fromLocal8Bit(second.trimmed())),
                     QByteArray("tessinstaller Debug: caf\xe9 na\xefve\n"));
        }
    }

    void logIsCompleteWhenTheProcessIsKilled()
    {
        QTemporaryDir home;
        QProcess p;
        p.setProcessEnvironment(homeEnvironment(home.path()));
        p.start(Child, {QStringLiteral("forever")});
        QVERIFY(p.waitForReadyRead(10000));
        const QString path = QString::fromLocal8Bit(p.readLine().trimmed());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > 2000, 10000);
        p.kill();
        QVERIFY(p.waitForFinished(10000));
        const QList<QByteArray> lines = readAll(path).split('\n');
        QVERIFY(lines.last().isEmpty()); // ends with a whole line
        for (int i = 0; i < lines.size() - 1; ++i)
            QCOMPARE(lines.at(i),
                     "tessinstaller Debug: line " + QByteArray::number(i) + " complete");
    }
};

QTEST_GUILESS_MAIN(TestProcesses)
#include "tst_processes.moc"
