#include "StandinServer.h"

#include "TestSupport.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrlQuery>

namespace TessTest {

StandinServer::StandinServer()
    : workDir(QDir::tempPath() + QStringLiteral("/tess-standin.XXXXXX"))
{
    productsFolder = workDir.filePath(QStringLiteral("products"));
    QDir().mkpath(productsFolder);
    writeProductsJson(productsFolder, {});
    setUsers({});
}

StandinServer::~StandinServer()
{
    stop();
}

void StandinServer::setUsers(const QMap<QString, QString> &users)
{
    QJsonObject table;
    for (auto it = users.constBegin(); it != users.constEnd(); ++it)
        table.insert(it.key(), it.value());
    usersFile = workDir.filePath(QStringLiteral("users.json"));
    QFile file(usersFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QJsonDocument(QJsonObject{{QStringLiteral("users"), table}}).toJson());
}

void StandinServer::setTls(const QString &certChainFile, const QString &key)
{
    certFile = certChainFile;
    keyFile = key;
}

bool StandinServer::writeProductsJson(const QString &folder, const QList<QVariantMap> &products)
{
    QJsonArray list;
    for (const QVariantMap &product : products)
        list.append(QJsonObject::fromVariantMap(product));
    QFile file(folder + QStringLiteral("/products.json"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(QJsonDocument(QJsonObject{{QStringLiteral("products"), list}}).toJson()) > 0;
}

bool StandinServer::start(int timeoutMs)
{
    stop();
    error.clear();
    const QString portFile = workDir.filePath(QStringLiteral("port"));
    QFile::remove(portFile);

    QString python = QString::fromLocal8Bit(qgetenv("PYTHON3"));
    if (python.isEmpty())
        python = QStringLiteral("python3");
    QStringList arguments{sourceDir() + QStringLiteral("/tools/standin/serve.py"),
                          QStringLiteral("--products"),
                          productsFolder,
                          QStringLiteral("--users"),
                          usersFile,
                          QStringLiteral("--port"),
                          QStringLiteral("0"),
                          QStringLiteral("--port-file"),
                          portFile,
                          QStringLiteral("--time-limit"),
                          QStringLiteral("600")};
    if (!certFile.isEmpty())
        arguments << QStringLiteral("--tls-cert") << certFile << QStringLiteral("--tls-key")
                  << keyFile;
    arguments += extraArguments;

    process = new QProcess;
    // A file, not a pipe: a pipe nobody drains would stop the service when it fills.
    process->setStandardErrorFile(workDir.filePath(QStringLiteral("standin.log")));
    process->setStandardOutputFile(QProcess::nullDevice());
    process->start(python, arguments);
    if (!process->waitForStarted(timeoutMs)) {
        error = QStringLiteral("cannot start %1: %2").arg(python, process->errorString());
        stop();
        return false;
    }

    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QFile file(portFile);
        if (file.open(QIODevice::ReadOnly)) {
            listenPort = quint16(file.readAll().trimmed().toUInt());
            if (listenPort)
                return true;
        }
        // Also notices a service that died at start-up.
        if (process->waitForFinished(20) || process->state() == QProcess::NotRunning)
            break;
    }
    QFile log(workDir.filePath(QStringLiteral("standin.log")));
    log.open(QIODevice::ReadOnly);
    error = QStringLiteral("the stand-in service did not come up: ")
            + QString::fromUtf8(log.readAll());
    stop();
    return false;
}

void StandinServer::stop()
{
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    delete process;
    process = nullptr;
    listenPort = 0;
}

QUrl StandinServer::url(const QString &path) const
{
    return url(path, !certFile.isEmpty());
}

QUrl StandinServer::url(const QString &path, bool tls) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                        .arg(tls ? QStringLiteral("https") : QStringLiteral("http"))
                        .arg(listenPort)
                        .arg(path));
}

QUrl StandinServer::localhostUrl(const QString &path) const
{
    QUrl u = url(path);
    u.setHost(QStringLiteral("localhost"));
    return u;
}

QByteArray StandinServer::fetch(const QString &path, int timeoutMs) const
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url(path));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    request.setSslConfiguration(ssl);
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    QByteArray body;
    if (reply->isFinished() && reply->error() == QNetworkReply::NoError)
        body = reply->readAll();
    else
        reply->abort();
    delete reply;
    return body;
}

QJsonObject StandinServer::fetchJson(const QString &path, int timeoutMs) const
{
    return QJsonDocument::fromJson(fetch(path, timeoutMs)).object();
}

bool StandinServer::setProductFault(const QString &file, const QString &spec)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("file"), file);
    query.addQueryItem(QStringLiteral("fault"), spec);
    return fetch(QStringLiteral("/debug/fault?") + query.toString(QUrl::FullyEncoded)) == "ok\n";
}

} // namespace TessTest
