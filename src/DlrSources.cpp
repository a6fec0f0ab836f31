#include "DlrSources.h"

#include "DlrDownloadNames.h"
#include "DlrServiceClient.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {
const char ListName[] = "manifest.xml";
const char SignatureName[] = "manifest.xml.sig";
// A product list is a few megabytes at most; a source is held to the service's bound.
constexpr qint64 ListLimit = 32 * 1024 * 1024;

// Whether a reply's failure means the source itself is not there (rather than a file missing).
bool sourceDown(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::ConnectionRefusedError
           || error == QNetworkReply::HostNotFoundError || error == QNetworkReply::TimeoutError
           || error == QNetworkReply::OperationCanceledError
           || error == QNetworkReply::RemoteHostClosedError
           || error == QNetworkReply::NetworkSessionFailedError
           || error == QNetworkReply::TemporaryNetworkFailureError
           || error == QNetworkReply::SslHandshakeFailedError
           || error == QNetworkReply::UnknownNetworkError;
}
} // namespace

DlrSources::DlrSources(DlrServiceClient *client, const QStringList &sources, QObject *parent)
    : QObject(parent)
    , client(client)
{
    for (const QString &text : sources) {
        Source source;
        source.name = text;
        const QUrl url(text, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
            source.base = url;
        else // a folder, also when written as file://
            source.folder = QFileInfo(scheme == QLatin1String("file") ? url.toLocalFile() : text)
                                    .absoluteFilePath();
        list << source;
    }
}

QUrl DlrSources::fileUrl(const QUrl &base, const QString &fileName)
{
    QString path = base.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    QUrl url = base;
    url.setPath(path + fileName);
    return url;
}

void DlrSources::tell(const QString &line)
{
    qInfo().noquote() << line;
    Q_EMIT notice(line);
}

void DlrSources::passOver(const QString &name, const QString &why)
{
    for (Source &source : list) {
        if (source.name == name && !source.passedOver) {
            source.passedOver = true;
            tell(QStringLiteral("Source %1 %2; passed over").arg(name, why));
        }
    }
}

void DlrSources::damaged(const QString &name, const QString &fileName)
{
    for (Source &source : list) {
        if (source.name == name)
            source.damagedFiles.insert(fileName);
    }
}

QList<DlrDownloadOrigin> DlrSources::originsFor(const DlrManifestElement &offer) const
{
    QList<DlrDownloadOrigin> origins;
    const QString fileName = DlrDownloadNames::safeFileName(offer.name);
    for (const Source &source : list) {
        if (source.passedOver || fileName.isEmpty() || source.damagedFiles.contains(fileName))
            continue;
        if (source.folder.isEmpty()) {
            origins << DlrDownloadOrigin{source.name, fileUrl(source.base, fileName)};
        } else {
            const QString path = QDir(source.folder).filePath(fileName);
            if (QFileInfo(path).isFile())
                origins << DlrDownloadOrigin{source.name, QUrl::fromLocalFile(path)};
        }
    }
    origins << DlrDownloadOrigin{QStringLiteral("maker"), offer.downloadUrl};
    return origins;
}

void DlrSources::fetchList()
{
    next = 0;
    tryNext();
}

void DlrSources::tryNext()
{
    while (next < list.size() && list.at(next).passedOver)
        ++next;
    if (next >= list.size()) {
        Q_EMIT noneAnswered();
        return;
    }
    const Source &source = list.at(next++);
    if (!source.folder.isEmpty()) {
        readFolder(source);
        return;
    }
    const QString name = source.name;
    const QUrl base = source.base;
    fetch(fileUrl(base, QLatin1String(ListName)),
          [this, name, base](const QByteArray &body, const QString &why) {
              if (body.isNull()) {
                  tryNext();
                  return;
              }
              // A missing signature is the maker's rules' business, not the source's.
              fetch(fileUrl(base, QLatin1String(SignatureName)),
                    [this, name, body](const QByteArray &signature, const QString &) {
                        Q_EMIT listFound(name, body, signature);
                    });
              Q_UNUSED(why)
          });
}

void DlrSources::readFolder(const Source &source)
{
    if (!QFileInfo(source.folder).isDir()) {
        passOver(source.name, QFileInfo::exists(source.folder) ? QStringLiteral("is not a folder")
                                                               : QStringLiteral("does not exist"));
        tryNext();
        return;
    }
    QFile listFile(QDir(source.folder).filePath(QLatin1String(ListName)));
    if (!listFile.open(QIODevice::ReadOnly) || listFile.size() > ListLimit) {
        tell(QStringLiteral("Source %1 has no product list (%2 %3); trying the next")
                     .arg(source.name, listFile.fileName(), listFile.errorString()));
        tryNext();
        return;
    }
    const QByteArray body = listFile.readAll();
    QFile signatureFile(QDir(source.folder).filePath(QLatin1String(SignatureName)));
    const QByteArray signature
            = signatureFile.open(QIODevice::ReadOnly) ? signatureFile.readAll() : QByteArray();
    Q_EMIT listFound(source.name, body, signature);
}

void DlrSources::fetch(const QUrl &url,
                       std::function<void(const QByteArray &, const QString &)> done)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = client->get(request);
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    deadline->start(AnswerTimeoutMs);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty("tessNoAnswer", true);
        reply->abort();
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > ListLimit && reply->isRunning())
            reply->abort();
    });
    const QString name = list.value(next - 1).name;
    connect(reply, &QNetworkReply::finished, this, [this, reply, done, name] {
        client->releaseReply(reply);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::NoError && status < 300) {
            done(reply->readAll(), QString());
            return;
        }
        QString why;
        if (reply->property("tessNoAnswer").toBool()) {
            why = QStringLiteral("did not answer within %1 s").arg(AnswerTimeoutMs / 1000);
            passOver(name, why);
        } else if (status < 300 && sourceDown(reply->error())) {
            why = QStringLiteral("did not answer (%1)").arg(reply->errorString());
            passOver(name, why);
        } else {
            why = status >= 300 ? QStringLiteral("HTTP %1").arg(status) : reply->errorString();
            qInfo().noquote() << "Source" << name << "has no" << reply->url().toString() << why;
            if (!reply->url().path().endsWith(QLatin1String(SignatureName)))
                tell(QStringLiteral("Source %1 has no product list (%2); trying the next")
                             .arg(name, why));
        }
        done(QByteArray(), why);
    });
}
