#include "DlrDownloadAnswer.h"

#include "DlrTexts.h"

#include <QDebug>
#include <QNetworkReply>

DlrDownloadAnswer::DlrDownloadAnswer(qint64 resumeAt,
                                     const QByteArray &validator,
                                     qint64 listedSize)
    : resumeAt(resumeAt)
    , validator(validator)
    , listedSize(listedSize)
{}

QByteArray DlrDownloadAnswer::validatorOf(const QNetworkReply *reply)
{
    const QByteArray tag = reply->rawHeader("ETag");
    if (!tag.isEmpty() && !tag.startsWith("W/"))
        return tag;
    return reply->rawHeader("Last-Modified");
}

void DlrDownloadAnswer::decide(Verdict verdict, const QString &reason)
{
    result = verdict;
    why = reason;
    if (!reason.isEmpty())
        qWarning().noquote() << "Download answer not taken:" << reason;
}

DlrDownloadAnswer::Verdict DlrDownloadAnswer::judge(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // No status: not HTTP (the file itself), or no answer at all (the file stays as it is).
    const int code = status.isValid()                           ? status.toInt()
                     : reply->error() == QNetworkReply::NoError ? 200
                                                                : 0;
    // Asked for as it is: bytes in any encoding would be stored as the package, and a range of
    // them continues nothing.
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed();
    if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0) {
        decide(Verdict::Refused, encodedDownloadText(encoding));
    } else if (resumeAt > 0 && code == 206) {
        const QByteArray range = reply->rawHeader("Content-Range").trimmed();
        const int dash = range.indexOf('-'), slash = range.indexOf('/');
        bool firstOk = false, lastOk = false, totalOk = false;
        if (range.startsWith("bytes ") && dash > 0 && slash > dash) {
            rangeFirst = range.mid(6, dash - 6).trimmed().toLongLong(&firstOk);
            rangeLast = range.mid(dash + 1, slash - dash - 1).trimmed().toLongLong(&lastOk);
            rangeTotal = range.mid(slash + 1).trimmed().toLongLong(&totalOk); // "*": unknown
        }
        if (!totalOk)
            rangeTotal = -1;
        const QByteArray tag = validatorOf(reply);
        if (!firstOk || !lastOk || rangeFirst != resumeAt)
            decide(Verdict::Restart, QStringLiteral("The server's range starts elsewhere: ")
                                             + QString::fromLatin1(range));
        else if (!tag.isEmpty() && tag != validator)
            decide(Verdict::Restart,
                   QStringLiteral("The file changed on the server: %1 was %2")
                           .arg(QString::fromLatin1(tag), QString::fromLatin1(validator)));
        else if (listedSize > 0 && rangeTotal >= 0 && rangeTotal != listedSize)
            decide(Verdict::Refused, downloadSizeText(rangeTotal, listedSize));
        else
            decide(Verdict::Continue);
    } else if (resumeAt > 0 && code == 416) {
        decide(Verdict::Restart, QStringLiteral("The server has no bytes from %1").arg(resumeAt));
    } else if (code >= 200 && code < 300 && code != 206) {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && listedSize > 0 && length.toLongLong() != listedSize)
            decide(Verdict::Refused, downloadSizeText(length.toLongLong(), listedSize));
        else
            decide(Verdict::Whole);
    } else {
        decide(Verdict::Refused); // an error page: the reply's error names it
    }
    return result;
}

QString DlrDownloadAnswer::incompleteReason(const QNetworkReply *reply, qint64 written) const
{
    const QString cutShort = networkErrorText(QNetworkReply::RemoteHostClosedError);
    const auto compare = [&](qint64 expected) {
        if (written == expected)
            return QString();
        qWarning() << "Download ended after" << written << "of" << expected << "bytes";
        return written < expected ? cutShort : downloadSizeText(written, expected);
    };
    // A connection closed cleanly before the announced length is not an error to Qt.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 base = result == Verdict::Continue ? resumeAt : 0;
    QString reason = announced.isValid() ? compare(base + announced.toLongLong()) : QString();
    if (reason.isEmpty() && result == Verdict::Continue && rangeTotal >= 0) {
        if (rangeLast + 1 != rangeTotal)
            return partialRangeText(rangeFirst, rangeLast, rangeTotal);
        reason = compare(rangeTotal);
    }
    if (reason.isEmpty() && listedSize > 0)
        reason = compare(listedSize);
    return reason;
}
