#include "TinyProxy.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace TessTest {

TinyProxy::TinyProxy()
    : workDir(QDir::tempPath() + QStringLiteral("/tess-proxy.XXXXXX"))
{}

TinyProxy::~TinyProxy()
{
    // The time limit passes the signal on to tinyproxy; a kill would stop the limit alone.
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }
}

void TinyProxy::setCredentials(const QString &name, const QString &secret)
{
    user = name;
    password = secret;
}

bool TinyProxy::start(int timeoutMs)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"));
    if (program.isEmpty()) {
        error = QStringLiteral("tinyproxy is not installed (tools/setup-deps.sh installs it)");
        return false;
    }
    // tinyproxy takes its port from the configuration: a port just free on loopback.
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost)) {
            error = probe.errorString();
            return false;
        }
        port = probe.serverPort();
    }
    QString config = QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\n"
                                    "LogLevel Info\nLogFile \"%2\"\n")
                             .arg(port)
                             .arg(workDir.filePath(QStringLiteral("access.log")));
    // A refusing proxy allows a client address that never connects.
    config += refuse ? QStringLiteral("Allow 127.0.0.2\n") : QStringLiteral("Allow 127.0.0.1\n");
    if (!user.isEmpty())
        config += QStringLiteral("BasicAuth %1 %2\n").arg(user, password);
    const QString configFile = workDir.filePath(QStringLiteral("tinyproxy.conf"));
    QFile file(configFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) {
        error = file.errorString();
        return false;
    }
    file.close();

    process.setProcessChannelMode(QProcess::MergedChannels);
    // tinyproxy does not notice its parent's end: a test that crashes leaves it to the limit.
    process.start(QStringLiteral("timeout"), {QStringLiteral("300"), program, QStringLiteral("-d"),
                                              QStringLiteral("-c"), configFile});
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    process.terminate();
    process.waitForFinished(5000);
    error = QStringLiteral("tinyproxy did not listen: ")
            + QString::fromLocal8Bit(process.readAll());
    return false;
}

QString TinyProxy::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

QString TinyProxy::log() const
{
    QFile file(workDir.filePath(QStringLiteral("access.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString TinyProxy::loopbackHostName()
{
    const QString name = QHostInfo::localHostName();
    const QList<QHostAddress> addresses = QHostInfo::fromName(name).addresses();
    if (name.isEmpty() || addresses.isEmpty())
        return QString();
    for (const QHostAddress &address : addresses) {
        if (!address.isLoopback())
            return QString();
    }
    return name;
}

} // namespace TessTest
