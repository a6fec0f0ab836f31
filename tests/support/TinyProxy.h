#pragma once

// Debian's tinyproxy as a child process for a test: a real HTTP proxy on 127.0.0.1 that can ask
// for credentials or refuse every client. log() holds a line per request it passed on
// ("... GET http://host:port/path ...").

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

namespace TessTest {

class TinyProxy
{
public:
    ~TinyProxy()
    {
        // The time limit passes the signal on to tinyproxy; a kill would stop the limit alone.
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }

    // credentials: "user:password" the proxy asks for, or empty. The error text, empty once
    // the proxy listens.
    QString start(const QString &credentials, bool refusing)
    {
        const QString program = QStandardPaths::findExecutable("tinyproxy");
        if (program.isEmpty())
            return "tinyproxy is not installed (tools/setup-deps.sh installs it)";
        QTcpServer probe; // tinyproxy takes its port from the configuration: one just free
        if (!probe.listen(QHostAddress::LocalHost))
            return probe.errorString();
        port = probe.serverPort();
        probe.close();
        QFile config(workDir.filePath("tinyproxy.conf"));
        QString text = QString("Port %1\nListen 127.0.0.1\nTimeout 60\nLogLevel Info\n"
                               "LogFile \"%2\"\n")
                               .arg(port)
                               .arg(workDir.filePath("access.log"));
        // A refusing proxy allows only a client address that never connects.
        text += refusing ? "Allow 127.0.0.2\n" : "Allow 127.0.0.1\n";
        if (!credentials.isEmpty())
            text += "BasicAuth " + QString(credentials).replace(':', ' ') + '\n';
        if (!config.open(QIODevice::WriteOnly) || config.write(text.toUtf8()) < 0)
            return config.errorString();
        config.close();
        // tinyproxy does not notice its parent's end: a test that crashes leaves it to the limit.
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("timeout", {"300", program, "-d", "-c", config.fileName()});
        for (QDeadlineTimer deadline(10000); !deadline.hasExpired() && process.waitForStarted();) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(200))
                return QString();
            process.waitForFinished(50);
        }
        return "tinyproxy did not listen: " + process.readAll();
    }
    QString url() const { return QString("http://127.0.0.1:%1").arg(port); }
    QString log() const
    {
        QFile file(workDir.filePath("access.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QString();
    }

    // The toolkit sends requests for 127.0.0.1 and localhost past any proxy: this machine's
    // host name when it resolves to loopback addresses only (so requests to it go through the
    // proxy and still reach only loopback), else empty.
    static QString loopbackHostName()
    {
        const QString name = QHostInfo::localHostName();
        const QList<QHostAddress> addresses = QHostInfo::fromName(name).addresses();
        const auto loopback = [](const QHostAddress &address) {
            return address.isLoopback();
        };
        return !addresses.isEmpty() && std::all_of(addresses.begin(), addresses.end(), loopback)
                       ? name
                       : QString();
    }

private:
    QTemporaryDir workDir{QDir::tempPath() + "/tess-proxy.XXXXXX"};
    QProcess process;
    quint16 port = 0;
};

} // namespace TessTest
