#include "FakeMachine.h"

#include "TestSupport.h"

#include <QJsonDocument>
#include <QProcess>

namespace TessTest {

FakeMachine::FakeMachine()
    : folder(QDir::tempPath() + QStringLiteral("/tessmachine.XXXXXX"))
{}

FakeMachine::~FakeMachine()
{
    if (!active)
        return;
    if (hadRoot)
        qputenv("TESSINSTALLER_ROOT", previousRoot);
    else
        qunsetenv("TESSINSTALLER_ROOT");
}

void FakeMachine::activate()
{
    if (!active) {
        hadRoot = qEnvironmentVariableIsSet("TESSINSTALLER_ROOT");
        previousRoot = qgetenv("TESSINSTALLER_ROOT");
        active = true;
    }
    qputenv("TESSINSTALLER_ROOT", QFile::encodeName(root()));
}

bool FakeMachine::build(const QJsonObject &description, QString *error)
{
    return run({root(), QStringLiteral("--json"), QStringLiteral("-")},
               QJsonDocument(description).toJson(QJsonDocument::Compact), error);
}

bool FakeMachine::build(const QStringList &options, QString *error)
{
    return run(QStringList{root()} + options, QByteArray(), error);
}

bool FakeMachine::buildAll(const QList<QPair<FakeMachine *, QJsonObject>> &machines, QString *error)
{
    QJsonObject batch;
    for (const auto &machine : machines)
        batch.insert(machine.first->root(), machine.second);
    return run({QStringLiteral("--batch"), QStringLiteral("-")},
               QJsonDocument(batch).toJson(QJsonDocument::Compact), error);
}

bool FakeMachine::run(const QStringList &arguments, const QByteArray &input, QString *error)
{
    QString python = qEnvironmentVariable("PYTHON3");
    if (python.isEmpty())
        python = QStringLiteral("python3");
    const QString script = sourceDir() + QStringLiteral("/tools/machine/make-machine.py");

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(python, QStringList{script} + arguments);
    process.write(input);
    process.closeWriteChannel();
    const bool done = process.waitForFinished(60000);
    const QByteArray output = process.readAll();
    if (done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    if (!done) {
        process.kill();
        process.waitForFinished();
    }
    if (error)
        *error = QString::fromLocal8Bit(output);
    return false;
}

} // namespace TessTest
