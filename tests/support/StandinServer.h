#pragma once

// tools/standin/serve.py on 127.0.0.1 as a child: stops with this object, or at its time limit.

#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QUrlQuery>

namespace TessTest {

class StandinServer
{
public:
    StandinServer()
    {
        writeProductsJson(productsFolder, {}); // no offers, no users
        setUsers({});
    }
    ~StandinServer() { stop(); }

    // The products folder (products.json plus the files).
    void setProducts(const QString &folder) { productsFolder = folder; }
    void setUsers(const QVariantMap &users) // user ID -> password
    {
        writeJson(workDir.filePath("users.json"), {{"users", QJsonObject::fromVariantMap(users)}});
    }
    // Serve https with this certificate chain (leaf first) and key.
    void setTls(const QString &chain, const QString &key)
    {
        tls = QStringList{"--tls-cert", chain, "--tls-key", key};
    }
    void addArguments(const QStringList &arguments) { extraArguments += arguments; }

    // Starts the service and waits until it listens. False (see errorText) when it did not.
    bool start()
    {
        stop();
        const QString portFile = workDir.filePath("port");
        QFile::remove(portFile);
        // A file, not a pipe: a pipe nobody drains would stop the service when it fills.
        process.setStandardErrorFile(workDir.filePath("standin.log"));
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(qEnvironmentVariable("PYTHON3", "python3"),
                      QStringList{sourceDir() + "/tools/standin/serve.py", "--products",
                                  productsFolder, "--users", workDir.filePath("users.json"),
                                  "--port", "0", "--port-file", portFile, "--time-limit", "600"}
                              + tls + extraArguments);
        // Also notices a service that could not start or died at start-up.
        const QDeadlineTimer deadline(10000);
        while (process.waitForStarted() && !process.waitForFinished(20) && !deadline.hasExpired()) {
            listenPort = quint16(readFile(portFile).trimmed().toUInt());
            if (listenPort)
                return true;
        }
        error = "the stand-in service did not come up (" + process.errorString()
                + "): " + readFile(workDir.filePath("standin.log"));
        stop();
        return false;
    }
    QString errorText() const { return error; }

    quint16 port() const { return listenPort; }
    // http(s)://127.0.0.1:port + path, https once setTls was called.
    QUrl url(const QString &path) const
    {
        return QString(tls.isEmpty() ? "http" : "https")
               + "://127.0.0.1:" + QString::number(listenPort) + path;
    }
    // A GET on the running service (its certificate is not checked), as JSON; empty on failure.
    QJsonObject fetchJson(const QString &path) const
    {
        return QJsonDocument::fromJson(fetch(path)).object();
    }
    // Sets (or, with an empty spec, clears) the fault of one product file.
    bool setProductFault(const QString &file, const QString &spec) const
    {
        const QUrlQuery query{{"file", file}, {"fault", spec}};
        return fetch("/debug/fault?" + query.toString(QUrl::FullyEncoded)) == "ok\n";
    }

    // The products.json of serve.py for a folder: each entry's keys as serve.py documents them.
    static bool writeProductsJson(const QString &folder, const QList<QVariantMap> &products)
    {
        QJsonArray list;
        for (const QVariantMap &product : products)
            list.append(QJsonObject::fromVariantMap(product));
        return writeJson(folder + "/products.json", {{"products", list}});
    }

private:
    static bool writeJson(const QString &path, const QJsonObject &object)
    {
        return !TessTest::writeFile(path, QJsonDocument(object).toJson()).isEmpty();
    }
    QByteArray fetch(const QString &path) const
    {
        QNetworkAccessManager manager;
        manager.setTransferTimeout(5000);
        const std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url(path))));
        reply->ignoreSslErrors();
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        return reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    }
    void stop()
    {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
        process.waitForFinished(3000);
        listenPort = 0;
    }

    QTemporaryDir workDir{QDir::tempPath() + "/tess-standin.XXXXXX"};
    QString productsFolder = workDir.path();
    QString error;
    QStringList tls, extraArguments;
    QProcess process;
    quint16 listenPort = 0;
};

} // namespace TessTest
