#pragma once

#include <QByteArray>
#include <QString>

class QNetworkReply;

// What one answer of the server is worth to a download: whether its body continues the partial
// file, replaces it, is of no use, or sends the download back to the start; and, once it has
// ended, whether the file is complete. Reads only the answer's status and headers.
class DlrDownloadAnswer
{
public:
    enum class Verdict {
        Unchecked,
        Continue, // a range that starts where the partial file ends
        Whole,    // the whole file, in place of whatever the partial file holds
        Refused,  // an error page, or a body that cannot be the offer's file
        Restart   // the partial file cannot be continued: drop it and ask for the whole file
    };

    DlrDownloadAnswer() = default;
    // resumeAt: bytes the file held when the request went out (0: the whole file was asked for);
    // validator: what If-Range named; listedSize: the offer's FileSize (0 or less: none given).
    DlrDownloadAnswer(qint64 resumeAt, const QByteArray &validator, qint64 listedSize);

    Verdict judge(const QNetworkReply *reply);
    Verdict verdict() const { return result; }
    bool accepted() const { return result == Verdict::Continue || result == Verdict::Whole; }
    // Why the answer was refused or restarts the download; empty when the reply's own error
    // says it.
    QString reason() const { return why; }

    // The answer is of no use for a reason of the download's own.
    void refuse(const QString &reason) { decide(Verdict::Refused, reason); }

    // Empty when the file, `written` bytes long once the accepted answer ended, is complete;
    // otherwise why it is not.
    QString incompleteReason(const QNetworkReply *reply, qint64 written) const;

    // What a later range request can name the file by: a strong entity tag, else the date of
    // its last change. A weak tag cannot vouch for bytes.
    static QByteArray validatorOf(const QNetworkReply *reply);

private:
    void decide(Verdict verdict, const QString &reason = QString());

    qint64 resumeAt = 0;
    QByteArray validator;
    qint64 listedSize = 0;
    Verdict result = Verdict::Unchecked;
    QString why;
    // "Content-Range: bytes FIRST-LAST/TOTAL" of a range answer; total -1 when not given.
    qint64 rangeFirst = -1, rangeLast = -1, rangeTotal = -1;
};
