#pragma once

// Debian's tinyproxy on 127.0.0.1 as a child process; log() has "GET http://host/path" lines.

#include "TestSupport.h"

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

    // Asks for credentials "user:password" if any; the error text, empty once it listens.
    QString start(const QString &credentials)
    {
        const QString program = QStandardPaths::findExecutable("tinyproxy");
        QTcpServer probe; // tinyproxy takes its port from the configuration: one just free
        if (program.isEmpty() || !probe.listen(QHostAddress::LocalHost))
            return "no tinyproxy (tools/setup-deps.sh installs it), or no free port";
        port = probe.serverPort();
        probe.close();
        const QString config = workDir.filePath("tinyproxy.conf");
        QString text = QString("Port %1\nListen 127.0.0.1\nLogLevel Info\nLogFile \"%2\"\n"
                               "Allow 127.0.0.1\n")
                               .arg(port)
                               .arg(workDir.filePath("access.log"));
        if (!credentials.isEmpty())
            text += "BasicAuth " + QString(credentials).replace(':', ' ') + '\n';
        if (writeFile(config, text.toUtf8()).isEmpty())
            return "cannot write " + config;
        // tinyproxy does not notice its parent's end: a test that crashes leaves it to the limit.
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("timeout", {"300", program, "-d", "-c", config});
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
    QString log() const { return TessTest::readFile(workDir.filePath("access.log")); }

    // The toolkit sends requests for 127.0.0.1 and localhost past any proxy: this machine's
    // name when it resolves to loopback addresses only, else empty.
    static QString loopbackHostName()
    {
        const QString name = QHostInfo::localHostName();
        const QList<QHostAddress> all = QHostInfo::fromName(name).addresses();
        const bool loopback
                = std::all_of(all.begin(), all.end(), [](auto &a) { return a.isLoopback(); });
        return !all.isEmpty() && loopback ? name : QString();
    }

private:
    QTemporaryDir workDir{QDir::tempPath() + "/tess-proxy.XXXXXX"};
    QProcess process;
    quint16 port = 0;
};

} // namespace TessTest
