#include "DlrUnattendedCertificates.h"

#include <QDebug>
#include <QSslConfiguration>

DlrUnattendedCertificates::DlrUnattendedCertificates(const QStringList &given)
{
    for (QString pin : given)
        pins << pin.remove(QLatin1Char(':')).toLower();
}

QString DlrUnattendedCertificates::fingerprint(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
}

bool DlrUnattendedCertificates::judge(QNetworkReply *reply, const QList<QSslError> &errors)
{
    QSslCertificate certificate = reply->sslConfiguration().peerCertificate();
    if (certificate.isNull() && !errors.isEmpty())
        certificate = errors.first().certificate();
    const QUrl where = reply->url().adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath
                                             | QUrl::RemoveQuery | QUrl::RemoveFragment);
    return judge(where.toString(), certificate, errors);
}

bool DlrUnattendedCertificates::judge(const QString &where,
                                      const QSslCertificate &certificate,
                                      const QList<QSslError> &errors)
{
    const QString seen = fingerprint(certificate);
    if (!certificate.isNull() && pins.contains(seen)) {
        qInfo().noquote() << "Unattended: the certificate of" << where << "with SHA-256" << seen
                          << "is trusted: -trustcert names it";
        return true;
    }
    qWarning().noquote() << "Unattended: the certificate of" << where << "with SHA-256" << seen
                         << "is refused:"
                         << (pins.isEmpty() ? QStringLiteral("no -trustcert given")
                                            : QStringLiteral("no -trustcert names it"));
    lastRefusal = QStringLiteral("Certificate problem with %1 (%2); its SHA-256 fingerprint is %3")
                          .arg(where, errors.isEmpty() ? QString() : errors.first().errorString(),
                               seen);
    return false;
}
