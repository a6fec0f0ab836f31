#pragma once

// The stand-in web service (tools/standin/serve.py) as a child process for a test: it binds
// 127.0.0.1 on a port it chooses, stops when this object goes, and by itself when the test
// process dies.

#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <QVariantMap>

namespace TessTest {

class StandinServer
{
public:
    StandinServer();
    ~StandinServer();
    StandinServer(const StandinServer &) = delete;
    StandinServer &operator=(const StandinServer &) = delete;

    // The products folder (products.json plus the files). Default: an empty folder.
    void setProducts(const QString &folder) { productsFolder = folder; }
    void setUsers(const QMap<QString, QString> &users); // user ID -> password
    // Serve https with this certificate chain (leaf first) and key.
    void setTls(const QString &certChainFile, const QString &keyFile);
    void addArguments(const QStringList &arguments) { extraArguments += arguments; }
    // Starts the service and waits until it listens. False (see errorText) when it did not.
    bool start(int timeoutMs = 10000);
    void stop();

    quint16 port() const { return listenPort; }
    // http(s)://127.0.0.1:port + path; the scheme follows setTls unless tls says otherwise.
    QUrl url(const QString &path) const;
    QUrl url(const QString &path, bool tls) const;
    // The same with host "localhost", for tests that need a second host name.
    QUrl localhostUrl(const QString &path) const;

    // GET of a path on the running service, answered synchronously (certificates are not
    // checked). Empty on failure.
    QByteArray fetch(const QString &path, int timeoutMs = 5000) const;
    QJsonObject fetchJson(const QString &path, int timeoutMs = 5000) const;
    // Sets (or, with an empty spec, clears) the fault of one product file.
    bool setProductFault(const QString &file, const QString &spec);

    // Why start() failed.
    QString errorText() const { return error; }

    // The products.json of serve.py for a folder: each entry's keys as serve.py documents them.
    static bool writeProductsJson(const QString &folder, const QList<QVariantMap> &products);

private:
    QTemporaryDir workDir;
    QString productsFolder;
    QString usersFile;
    QString certFile;
    QString keyFile;
    QStringList extraArguments;
    QProcess *process = nullptr;
    quint16 listenPort = 0;
    QString error;
};

} // namespace TessTest
