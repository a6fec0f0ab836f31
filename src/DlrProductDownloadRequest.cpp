#include "DlrProductDownload.h"

#include "DlrDownloadNames.h"
#include "DlrDurableFile.h"
#include "DlrPlatform.h"
#include "DlrRateLimit.h"
#include "DlrServiceClient.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QTimer>

#include <utility>

// The requests of a download: to which origin (a source, then the maker), with which headers,
// at what pace under a rate cap, and what an origin's failure means for the next request.

namespace {
// Qt reads the socket on its own thread and keeps what the application has not read yet;
// this bound keeps memory flat however large the file is.
constexpr qint64 DownloadReadBufferSize = 1024 * 1024;
// Redirects followed for one request, as browsers and curl bound them.
constexpr int MaxRedirects = 5;
// Under a rate cap little is held in the reply, so that the cap is what the sender feels.
constexpr qint64 LimitedReadBufferSize = 64 * 1024;

// Whether a failed request means that the source is not there at all (rather than that the
// file is missing or the transfer broke).
bool sourceUnreachable(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::ConnectionRefusedError
           || error == QNetworkReply::HostNotFoundError || error == QNetworkReply::TimeoutError
           || error == QNetworkReply::SslHandshakeFailedError
           || error == QNetworkReply::TemporaryNetworkFailureError
           || error == QNetworkReply::NetworkSessionFailedError;
}

} // namespace

void DlrProductDownload::request()
{
    const DlrDownloadOrigin &origin = origins.at(originIndex);
    qDebug() << "downloading " << offer.label() << "from" << origin.url;
    QNetworkRequest request(origin.url);
    if (resumeAt > 0) {
        qDebug() << "Continuing the download at byte" << resumeAt;
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeAt) + '-');
        request.setRawHeader("If-Range", validator.toLatin1());
    }
    // The bytes as they are: the package is stored as sent, and a range counts stored bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    answer = DlrDownloadAnswer(resumeAt, validator.toLatin1(), offer.fileSize);
    fetchedEarlier += std::exchange(fetchedNow, 0);
    transfer = client->get(request);
    transfer->setReadBufferSize(rateLimit ? LimitedReadBufferSize : DownloadReadBufferSize);
    noAnswer = false;
    if (origin.isSource() && !origin.url.isLocalFile()) {
        // A source that does not answer in time is passed over for the rest of the run.
        auto *deadline = new QTimer(transfer);
        deadline->setSingleShot(true);
        connect(transfer, &QNetworkReply::metaDataChanged, deadline, &QTimer::stop);
        connect(deadline, &QTimer::timeout, this, [this] {
            noAnswer = true;
            transfer->abort();
        });
        deadline->start(DlrSources::AnswerTimeoutMs);
    }
    connect(transfer, &QNetworkReply::readyRead, this, &DlrProductDownload::readAvailable);
    connect(transfer, &QNetworkReply::redirected, this,
            [](const QUrl &url) { qDebug() << "Download redirected to" << url; });
    announcedSize = -1;
    connect(transfer, &QNetworkReply::downloadProgress, this, [this](qint64 got, qint64 total) {
        announcedSize = total > 0 ? resumeAt + total : -1;
        reportedSinceStart = true;
        Q_EMIT progress(resumeAt + got, announcedSize, fetchedEarlier + fetchedNow);
    });
    connect(transfer, &QNetworkReply::finished, this, &DlrProductDownload::transferEnded);
    // Where this request starts, before any byte of it: a speed counts only what moves. Posted,
    // so that whoever started the download hears it; dropped when the request has reported
    // since (on a loaded machine it may even have ended before this turn comes).
    reportedSinceStart = false;
    const int serial = ++requestSerial;
    QMetaObject::invokeMethod(
            this,
            [this, serial, from = resumeAt, fetched = fetchedEarlier] {
                if (serial == requestSerial && !reportedSinceStart)
                    Q_EMIT progress(from, -1, fetched);
            },
            Qt::QueuedConnection);
}

void DlrProductDownload::checkAnswer()
{
    using Verdict = DlrDownloadAnswer::Verdict;
    const Verdict verdict = answer.judge(transfer);
    if (verdict == Verdict::Whole && resumeAt > 0 && !startOver("the server sent the whole file")) {
        answer.refuse(QStringLiteral("Couldn't make ") + target->fileName()
                      + QStringLiteral(" anew: ") + target->errorString());
        return;
    }
    if (verdict == Verdict::Whole) {
        const QByteArray tag = DlrDownloadAnswer::validatorOf(transfer);
        QString error;
        if (!tag.isEmpty()
            && !DlrDurableFile::write(validatorPath(target->fileName()), tag + '\n', &error))
            qWarning() << "Couldn't keep the validator of" << target->fileName() << error;
    }
    // Given up from the event loop: the reply is in the middle of delivering this answer.
    if (verdict == Verdict::Restart && transfer->isRunning())
        QMetaObject::invokeMethod(transfer, &QNetworkReply::abort, Qt::QueuedConnection);
}

qint64 DlrProductDownload::allowance(qint64 wanted)
{
    if (!rateLimit)
        return wanted;
    if (!pacer) {
        pacer = new QTimer(this);
        pacer->setSingleShot(true);
        connect(pacer, &QTimer::timeout, this, &DlrProductDownload::readAvailable);
    }
    static QElapsedTimer clock; // one clock for the one cap of the run
    if (!clock.isValid())
        clock.start();
    return rateLimit->take(wanted, clock.elapsed());
}

bool DlrProductDownload::moveOnFrom(QNetworkReply *reply, const QString &failure)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (noAnswer)
        return nextOrigin(QStringLiteral("did not answer within %1 s")
                                  .arg(DlrSources::AnswerTimeoutMs / 1000),
                          true);
    if (fetchedNow == 0 && sourceUnreachable(reply->error()))
        return nextOrigin(QStringLiteral("did not answer (%1)").arg(failure), true);
    if (status >= 300 || reply->error() == QNetworkReply::ContentNotFoundError)
        return nextOrigin(QStringLiteral("is not there (%1)").arg(failure), false);
    if (answer.verdict() != DlrDownloadAnswer::Verdict::Refused)
        return false;
    if (sources)
        sources->damaged(from(), DlrDownloadNames::safeFileName(offer.name));
    return nextOrigin(QStringLiteral("is not the listed package (%1)").arg(failure), false);
}

bool DlrProductDownload::nextOrigin(const QString &why, bool passOver)
{
    const DlrDownloadOrigin origin = origins.at(originIndex);
    if (!origin.isSource() || originIndex + 1 >= origins.size())
        return false;
    ++originIndex;
    if (passOver && sources)
        sources->passOver(origin.name, why);
    else if (sources)
        sources->tell(QStringLiteral("Source %1: %2 %3; fetching it from %4")
                              .arg(origin.name, DlrDownloadNames::safeFileName(offer.name), why,
                                   origins.at(originIndex).isSource()
                                           ? origins.at(originIndex).name
                                           : QStringLiteral("the maker")));
    // Another server's partial file continues nothing.
    target->close();
    target->remove();
    QFile::remove(validatorPath(target->fileName()));
    if (!target->open(QIODevice::WriteOnly)) {
        qWarning() << "Couldn't open temp file for write" << target->fileName()
                   << target->errorString();
        return false;
    }
    writeFailure.clear();
    digest.reset(new DlrPlatform::Sha256);
    validator.clear();
    resumeAt = fileEnd = writtenBack = 0;
    request();
    return true;
}
