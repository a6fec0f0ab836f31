#include "DlrServiceClient.h"

#include "DlrMakerKeys.h"
#include "DlrManifestHandler.h"
#include "DlrManifestVerdict.h"
#include "DlrPlatform.h"

#include <QAuthenticator>
#include <QDebug>
#include <QFile>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QTimer>

namespace {
// Bounds against a misbehaving service: a manifest is a few megabytes at most, and a transfer
// that moves no byte for this long is given up (it then fails like any broken transfer).
constexpr qint64 ManifestBodyLimit = 32 * 1024 * 1024;
constexpr int DefaultTransferTimeoutMs = 60 * 1000;
const char DownloadProperty[] = "tessDownload";
// A reply body goes to the log whole when it is of a sensible size, else its start.
constexpr int LoggedBodyLimit = 64 * 1024;

QHttpPart formPart(const char *fieldName, const QString &value)
{
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QStringLiteral("form-data; name=\"%1\"").arg(QLatin1String(fieldName)));
    part.setBody(value.toUtf8());
    return part;
}

QByteArray upToZeroByte(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}

QByteArray logExcerpt(const QByteArray &body)
{
    if (body.size() <= LoggedBodyLimit)
        return body;
    return body.left(LoggedBodyLimit) + "\n[... "
           + QByteArray::number(body.size() - LoggedBodyLimit) + " more bytes not logged]";
}

// Why an answer without a verdict came: the transfer's error, else the answer's HTTP status
// when it is no success, else the header itself.
QString transferFailure(QNetworkReply *reply, const QByteArray &validation)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300)
        return QStringLiteral("HTTP %1 %2")
                .arg(status)
                .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    return validation.isEmpty() ? QStringLiteral("the answer has no Validation header")
                                : QStringLiteral("the answer's Validation header is \"%1\"")
                                          .arg(QString::fromLatin1(validation.left(80)));
}
} // namespace

// Appends the offers of the file (when one is named) and keeps the list to be judged; offers
// read before a parse error stay.
void DlrServiceClient::readManifestFile(const QString &fileName,
                                        const char *announcement,
                                        const char *success)
{
    if (fileName.isEmpty())
        return;
    qDebug() << announcement << fileName;
    QString problem;
    DlrListEvidence evidence;
    if (DlrManifestVerdict::readFile(fileName, manifest, successUrl, &evidence, &problem))
        qDebug() << success;
    else
        qDebug() << "failed to parse alt manifest";
    if (!evidence.origin.isEmpty())
        lists << evidence;
    if (!problem.isEmpty()) {
        fileProblem = fileName + QStringLiteral(": ") + problem;
        qWarning().noquote() << "Manifest file" << fileProblem;
    }
}

// The lists of this request held to the maker's rules; false when refused (the offers are gone).
bool DlrServiceClient::believeLists()
{
    refusal = lists.isEmpty() ? QString() : DlrManifestVerdict::judge(lists, manifest, makerKeys);
    keptBody = refusal.isEmpty() && !lists.isEmpty() ? lists.first().body : QByteArray();
    keptSignature = refusal.isEmpty() && !lists.isEmpty() ? lists.first().signature : QByteArray();
    lists.clear();
    return refusal.isEmpty();
}

void DlrServiceClient::acceptList(const QString &origin,
                                  const QByteArray &body,
                                  const QByteArray &signature)
{
    fileProblem.clear();
    failure.clear();
    refusal.clear();
    lists.clear();
    qDebug().noquote() << "Reading the product list of" << origin;
    DlrListEvidence evidence;
    const bool parsed = DlrManifestVerdict::readBody(origin, body, signature, manifest, successUrl,
                                                     &evidence, &failure);
    lists << evidence;
    if (!believeLists())
        Q_EMIT invalidManifestReply(refusal);
    else if (!parsed || !failure.isEmpty())
        Q_EMIT invalidManifestReply(QStringLiteral("bad manifest reply"));
    else
        Q_EMIT validManifestReply();
}

DlrServiceClient::DlrServiceClient(QList<DlrManifestElement> *manifest,
                                   QUrl *successUrl,
                                   QObject *parent)
    : QObject(parent)
    , manifest(manifest)
    , successUrl(successUrl)
    , makerKeys(DlrMakerKeys::listKeys())
{}

DlrServiceClient::~DlrServiceClient() = default;

QNetworkAccessManager *DlrServiceClient::networkAccessManager()
{
    if (!manager) {
        // Requests go the way the system's proxy settings say: on Windows the system's own, on
        // Linux the http_proxy, https_proxy, all_proxy and no_proxy variables. The toolkit sends
        // requests for this machine's own addresses (127.0.0.1, localhost) past any proxy.
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        manager = new QNetworkAccessManager(this);
        connect(manager, &QNetworkAccessManager::finished, this, &DlrServiceClient::finishedReply);
        connect(manager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
                &DlrServiceClient::proxyCredentials);
    }
    return manager;
}

void DlrServiceClient::setTransferTimeout(int milliseconds)
{
    transferTimeoutMs = milliseconds;
}

// The toolkit's own transfer timeout cannot be paused, and a certificate question can take the
// user any time: that is no stall, and a reply aborted then would be deleted under the question.
void DlrServiceClient::watchForStall(QNetworkReply *reply)
{
    auto *timer = new QTimer(reply);
    timer->setObjectName(QLatin1String(StallTimerName));
    timer->setSingleShot(true);
    timer->setInterval(transferTimeoutMs > 0 ? transferTimeoutMs : DefaultTransferTimeoutMs);
    const auto moved = QOverload<>::of(&QTimer::start);
    connect(reply, &QNetworkReply::readyRead, timer, moved);
    connect(reply, &QNetworkReply::downloadProgress, timer, moved);
    connect(reply, &QNetworkReply::uploadProgress, timer, moved);
    connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    connect(timer, &QTimer::timeout, reply, [this, reply, timer] {
        if (proxyQuestionOpen) {
            timer->start();
            return;
        }
        if (questionsOpen.contains(reply) || !reply->isRunning())
            return;
        qWarning() << "No data moved for" << timer->interval() << "ms, giving up" << reply->url();
        reply->abort();
    });
    timer->start();
}

void DlrServiceClient::releaseReply(QNetworkReply *reply)
{
    if (questionsOpen.contains(reply))
        releaseAfterQuestion.append(reply);
    else
        reply->deleteLater();
}

void DlrServiceClient::requestStarts()
{
    proxyQuestions = 0;
}

QNetworkReply *DlrServiceClient::get(const QNetworkRequest &request)
{
    requestStarts();
    QNetworkReply *reply = networkAccessManager()->get(request);
    reply->setProperty(DownloadProperty, true);
    connect(reply, &QNetworkReply::sslErrors, this,
            [this, reply](const QList<QSslError> &errors) { sslErrors(reply, errors); });
    watchForStall(reply);
    return reply;
}

void DlrServiceClient::requestManifest(const ManifestRequest &request)
{
    fileProblem.clear();
    failure.clear();
    refusal.clear();
    lists.clear();
    if (!request.file.isEmpty()) {
        qDebug() << "Loading manifest from disk ONLY";
        readAlternateManifest(request.file);
        if (believeLists())
            Q_EMIT validManifestReply();
        else
            Q_EMIT invalidManifestReply(refusal);
        return;
    }
    qDebug() << "Requesting manifest from " << request.url;
    requestStarts();
    appendFile = request.appendFile;
    dumpPath = request.dumpPath;
    auto *form = new QHttpMultiPart(QHttpMultiPart::FormDataType, this);
    form->append(formPart("platform", request.platform));
    QString escapedUserId = request.userId;
    escapedUserId.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    form->append(formPart("username", escapedUserId));
    form->append(formPart("userpass", request.password));

    QNetworkReply *reply = networkAccessManager()->post(QNetworkRequest(request.url), form);
    pendingManifest = reply;
    form->setParent(reply);
    connect(reply, &QNetworkReply::sslErrors, this, [this, reply](const QList<QSslError> &errors) {
        if (pendingManifest == reply)
            sslErrors(reply, errors);
    });
    watchForStall(reply);
    // The body is digested as it arrives, so that checking its signature at the end costs one
    // verification, not a second pass over megabytes.
    arrivedBody.clear();
    arrivedDigest.reset(new DlrPlatform::Sha256);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (pendingManifest == reply)
            takeArrived(reply);
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > ManifestBodyLimit && reply->isRunning()) {
            qWarning() << "Manifest reply larger than" << ManifestBodyLimit
                       << "bytes, abandoning it";
            reply->abort();
        }
    });
}

void DlrServiceClient::takeArrived(QNetworkReply *reply)
{
    if (!reply->isOpen())
        return; // aborted: nothing more to give
    const QByteArray chunk = reply->readAll();
    if (arrivedDigest)
        arrivedDigest->addData(chunk.constData(), chunk.size());
    arrivedBody += chunk;
}

void DlrServiceClient::readAlternateManifest(const QString &fileName)
{
    readManifestFile(fileName, "Loading alternate manifest", "added alt manifest");
}

void DlrServiceClient::readAppendedManifest(const QString &fileName)
{
    readManifestFile(fileName, "Appending alternate manifest", "appended alt manifest");
}

void DlrServiceClient::finishedReply(QNetworkReply *reply)
{
    if (!reply) {
        qDebug() << "Oy! null reply";
        return;
    }
    // The refusals of a request that ended never count against the next one. The toolkit
    // offers the credentials it keeps first, without asking: refused ones must not stay.
    proxyQuestions = 0;
    if (manager
        && (reply->error() == QNetworkReply::ProxyAuthenticationRequiredError
            || reply->error() == QNetworkReply::AuthenticationRequiredError))
        manager->clearAccessCache();
    if (reply == pendingManifest) {
        replyFromManifestRequest(reply);
    } else if (!reply->property(DownloadProperty).toBool()) {
        // A superseded manifest request: nobody waits for it any more.
        qDebug() << "Ignoring a reply nobody waits for" << reply->url();
        releaseReply(reply);
    }
}

void DlrServiceClient::replyFromManifestRequest(QNetworkReply *reply)
{
    takeArrived(reply);
    const QByteArray body = std::exchange(arrivedBody, QByteArray());
    const QByteArray validation = reply->rawHeader("Validation");
    if (validation.startsWith("Approved")) {
        qDebug() << "Manifest request approved";
        if (!dumpPath.isEmpty()) {
            QFile dump(dumpPath);
            if (dump.open(QIODevice::WriteOnly | QIODevice::Truncate))
                dump.write(body);
        }
        // The progress check misses a body whose last step crosses the cap as it ends.
        const bool tooLarge = body.size() > ManifestBodyLimit;
        if (tooLarge)
            qWarning() << "Manifest reply larger than" << ManifestBodyLimit
                       << "bytes, abandoning it";
        DlrManifestHandler::ListFacts facts;
        const bool parsed
                = !tooLarge
                  && DlrManifestHandler::ParseData(body, manifest, successUrl, &failure, &facts);
        if (tooLarge)
            failure = QStringLiteral("the answer is larger than %1 MiB")
                              .arg(ManifestBodyLimit / (1024 * 1024));
        else
            lists.prepend({QStringLiteral("the service"), body,
                           arrivedDigest ? arrivedDigest->hexResult() : QByteArray(),
                           reply->hasRawHeader("X-Manifest-Signature")
                                   ? reply->rawHeader("X-Manifest-Signature")
                                   : QByteArray(),
                           facts.version, facts.expires});
        readAppendedManifest(appendFile);
        if (!believeLists()) {
            Q_EMIT invalidManifestReply(refusal);
        } else if (!parsed) {
            qDebug() << "Bad Wolf:\n" << logExcerpt(body);
            Q_EMIT invalidManifestReply(QStringLiteral("bad manifest reply"));
        } else {
            Q_EMIT validManifestReply();
        }
    } else if (validation.startsWith("Error")) {
        qDebug() << "Manifest request denied";
        QString reason = QStringLiteral("Manifest request denied");
        if (validation.size() > 5)
            reason = QString::fromUtf8(upToZeroByte(validation.mid(5))).trimmed();
        Q_EMIT invalidManifestReply(reason);
    } else {
        qDebug() << "Crikey! unknown manifest Validation" << validation;
        // The verdict stays the same for every transport failure; the log says which it was
        // (a proxy's refusal reads differently from a dead service).
        failure = transferFailure(reply, validation);
        qWarning().noquote() << "Manifest request failed:" << failure;
        Q_EMIT invalidManifestReply(QStringLiteral("Unknown manifest Validation"));
    }

    // What is left of the body: all of it when no list was read from it.
    const QByteArray rest = validation.startsWith("Approved") ? QByteArray() : body;
    qDebug() << QString::fromLatin1(logExcerpt(upToZeroByte(rest)));
    arrivedDigest.reset();
    if (pendingManifest == reply)
        pendingManifest = nullptr;
    releaseReply(reply);
}
