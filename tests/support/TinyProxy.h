#pragma once

// Starts Debian's tinyproxy as a child process for a test: a real HTTP proxy on 127.0.0.1.
//
//     TessTest::TinyProxy proxy;
//     proxy.setCredentials("alice", "s3cret");       // optional: the proxy asks for them
//     QVERIFY2(proxy.start(), qPrintable(proxy.errorText()));
//     qputenv("http_proxy", proxy.url().toUtf8());
//     ... proxy.log() holds one "Request ...: GET http://host:port/path" line per request.
//
// The toolkit sends requests for 127.0.0.1 and localhost past any proxy; loopbackHostName()
// gives a name of this machine that resolves to a loopback address, for the requests meant to
// go through it.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace TessTest {

class TinyProxy
{
public:
    TinyProxy();
    ~TinyProxy();
    TinyProxy(const TinyProxy &) = delete;
    TinyProxy &operator=(const TinyProxy &) = delete;

    void setCredentials(const QString &user, const QString &password);
    // The proxy answers every request with "403 Access denied".
    void setRefusing(bool refusing) { refuse = refusing; }

    // False (see errorText) when tinyproxy is missing or did not start listening.
    bool start(int timeoutMs = 10000);
    QString url() const;
    QString log() const;
    QString errorText() const { return error; }

    // This machine's host name when it resolves to loopback addresses only, else empty.
    static QString loopbackHostName();

private:
    QTemporaryDir workDir;
    QProcess process;
    QString user, password, error;
    bool refuse = false;
    quint16 port = 0;
};

} // namespace TessTest
