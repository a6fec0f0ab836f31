#pragma once

#include <QList>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QStringList>

// The certificate policy of a run without questions: a certificate problem is let through only
// when the certificate of the host that presents it is one that -trustcert names (by its
// SHA-256 fingerprint). Each problem is judged on its own: a certificate accepted before
// accepts nothing else, so a second host with a certificate of its own is refused.
class DlrUnattendedCertificates
{
public:
    // Fingerprints as given: 64 hex digits, either case, colons allowed.
    explicit DlrUnattendedCertificates(const QStringList &pins);

    // Judges the problems of the certificate a reply's host presented; logs the decision. True
    // lets the transfer go on.
    bool judge(QNetworkReply *reply, const QList<QSslError> &errors);
    bool
    judge(const QString &where, const QSslCertificate &certificate, const QList<QSslError> &errors);
    bool anyRefused() const { return !lastRefusal.isEmpty(); }
    // The line an administrator reads about the last refusal, with the fingerprint to check
    // and pass on.
    QString refusal() const { return lastRefusal; }

    // The SHA-256 fingerprint of a certificate, 64 lowercase hex digits.
    static QString fingerprint(const QSslCertificate &certificate);

private:
    QStringList pins; // lowercase, without colons
    QString lastRefusal;
};
