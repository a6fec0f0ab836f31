#include "DlrServiceClient.h"

#include "DlrManifestHandler.h"
#include "DlrMessageBox.h"

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
const char StallTimerName[] = "tessStallTimer";
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

// An aborted reply is closed and has nothing more to give.
QByteArray readWhatArrived(QNetworkReply *reply)
{
    return reply->isOpen() ? reply->readAll() : QByteArray();
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

// Appends the offers of the file (when one is named); offers read before a parse error stay.
void DlrServiceClient::readManifestFile(const QString &fileName,
                                        const char *announcement,
                                        const char *success)
{
    if (fileName.isEmpty())
        return;
    qDebug() << announcement << fileName;
    const int before = manifest->size();
    QString problem;
    if (DlrManifestHandler::ParseFile(fileName, manifest, successUrl, &problem)) {
        qDebug() << success;
        if (manifest->size() == before)
            problem = QStringLiteral("no product offer in it (no ProductInfo element)");
    } else {
        qDebug() << "failed to parse alt manifest";
    }
    if (!problem.isEmpty()) {
        fileProblem = fileName + QStringLiteral(": ") + problem;
        qWarning().noquote() << "Manifest file" << fileProblem;
    }
}

DlrServiceClient::DlrServiceClient(QList<DlrManifestElement> *manifest,
                                   QUrl *successUrl,
                                   QObject *parent)
    : QObject(parent)
    , manifest(manifest)
    , successUrl(successUrl)
{}

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
    if (!request.file.isEmpty()) {
        qDebug() << "Loading manifest from disk ONLY";
        readAlternateManifest(request.file);
        Q_EMIT validManifestReply();
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
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > ManifestBodyLimit && reply->isRunning()) {
            qWarning() << "Manifest reply larger than" << ManifestBodyLimit
                       << "bytes, abandoning it";
            reply->abort();
        }
    });
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
    const QByteArray validation = reply->rawHeader("Validation");
    if (validation.startsWith("Approved")) {
        qDebug() << "Manifest request approved";
        const QByteArray body = readWhatArrived(reply);
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
        const bool parsed
                = !tooLarge && DlrManifestHandler::ParseData(body, manifest, successUrl, &failure);
        if (tooLarge)
            failure = QStringLiteral("the answer is larger than %1 MiB")
                              .arg(ManifestBodyLimit / (1024 * 1024));
        readAppendedManifest(appendFile);
        if (!parsed) {
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

    const QByteArray rest = readWhatArrived(reply);
    qDebug() << QString::fromLatin1(logExcerpt(upToZeroByte(rest)));
    if (pendingManifest == reply)
        pendingManifest = nullptr;
    releaseReply(reply);
}

void DlrServiceClient::sslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    if (sslAccepted) {
        reply->ignoreSslErrors();
        return;
    }
    if (errors.size() == 1 && errors.first().error() == QSslError::SelfSignedCertificateInChain) {
        reply->ignoreSslErrors();
        return;
    }
    if (certificateJudge) {
        if (certificateJudge(reply, errors))
            reply->ignoreSslErrors();
        return;
    }

    DlrMessageBox::Spec box;
    box.id = QLatin1String(DlrBox::SslErrors);
    box.icon = QMessageBox::Critical;
    box.text = QStringLiteral("There was issue with the SSL connection. Continue anyway?");
    if (errors.size() == 1) {
        box.informativeText = errors.first().errorString();
    } else {
        box.informativeText = QStringLiteral("There were multiple issues with the SSL connection");
        QStringList texts;
        for (const QSslError &error : errors) {
            qDebug() << "ssl error: %s" << error.errorString();
            texts << error.errorString();
        }
        box.detailedText = texts.join(QStringLiteral("---"));
    }
    box.buttons = QMessageBox::Ok | QMessageBox::Cancel;
    box.defaultButton = QMessageBox::Ok;
    questionsOpen.append(reply);
    const bool accepted = DlrMessageBox::show(box) == QMessageBox::Ok;
    questionsOpen.removeOne(reply);
    if (accepted) {
        reply->ignoreSslErrors();
        sslAccepted = true;
    }
    if (releaseAfterQuestion.removeOne(reply)) {
        reply->deleteLater();
        return;
    }
    // The stall time starts again from the answer.
    auto *stall
            = reply->findChild<QTimer *>(QLatin1String(StallTimerName), Qt::FindDirectChildrenOnly);
    if (stall && reply->isRunning())
        stall->start();
}

void DlrServiceClient::proxyCredentials(const QNetworkProxy &proxy, QAuthenticator *authenticator)
{
    const QString where = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    // The toolkit asks again after credentials the proxy refused; an automatic answer would
    // otherwise be given for ever.
    constexpr int MaxQuestions = 3;
    if (++proxyQuestions > MaxQuestions) {
        qWarning() << "The proxy" << where << "refused the credentials" << MaxQuestions
                   << "times, not asking again";
        return;
    }
    DlrMessageBox::Spec box;
    box.id = QLatin1String(DlrBox::ProxyCredentials);
    box.icon = QMessageBox::Question;
    box.text = QStringLiteral("The proxy server %1 asks for a user name and password.").arg(where);
    if (proxyQuestions > 1)
        box.informativeText = QStringLiteral("It did not accept the ones given before.");
    box.buttons = QMessageBox::Ok | QMessageBox::Cancel;
    box.defaultButton = QMessageBox::Ok;
    QString password;
    proxyQuestionOpen = true;
    const bool given = DlrMessageBox::askCredentials(box, &proxyUser, &password) == QMessageBox::Ok;
    proxyQuestionOpen = false;
    if (given) {
        authenticator->setUser(proxyUser);
        authenticator->setPassword(password);
    }
}
