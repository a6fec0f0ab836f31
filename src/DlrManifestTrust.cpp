#include "DlrManifestTrust.h"

#include "DlrTrustPlatform.h"

#include <QRegularExpression>

DlrManifestTrust::DlrManifestTrust(const QList<QByteArray> &makerKeys,
                                   qint64 highestSeen,
                                   const QDateTime &now)
    : keys(makerKeys)
    , highestSeen(highestSeen)
    , now(now.toUTC())
{}

QString DlrManifestTrust::notSignedText()
{
    return QStringLiteral("The product list is not signed by the maker");
}

QString DlrManifestTrust::olderText()
{
    return QStringLiteral("The product list is older than one already seen");
}

QString DlrManifestTrust::expiredText(const QDateTime &expiry)
{
    return QStringLiteral("The product list expired on %1")
            .arg(expiry.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")));
}

qint64 DlrManifestTrust::parseVersion(const QString &text)
{
    static const QRegularExpression whole(QStringLiteral("^[0-9]{1,18}$"));
    const QString trimmed = text.trimmed();
    return whole.match(trimmed).hasMatch() ? trimmed.toLongLong() : -1;
}

QDateTime DlrManifestTrust::parseExpiry(const QString &text)
{
    static const QRegularExpression utc(
            QStringLiteral("^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})Z$"));
    const QRegularExpressionMatch m = utc.match(text.trimmed());
    if (!m.hasMatch())
        return QDateTime();
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return QDateTime(date, time, Qt::UTC);
}

// One list against every rule; false (with the refusal in *verdict) at the first it breaks.
// *version gets the version it counts as (-1: none to compare).
bool DlrManifestTrust::checkOne(const DlrListEvidence &list,
                                qint64 *version,
                                Verdict *verdict) const
{
    const QString refusing = QStringLiteral("Refusing the product list from %1: ").arg(list.origin);
    if (verifiesLists()) {
        const DlrPlatform::SignatureCheck signature
                = list.bodySha256.isEmpty()
                          ? DlrPlatform::verifyListSignature(list.body, list.signature, keys)
                          : DlrPlatform::verifyListSignatureOfDigest(list.bodySha256,
                                                                     list.signature, keys);
        if (signature.verdict != DlrPlatform::SignatureVerdict::Good) {
            verdict->warnings << refusing
                                         + QStringLiteral("signature %1, %2")
                                                   .arg(DlrPlatform::signatureVerdictText(
                                                                signature.verdict),
                                                        signature.detail);
            verdict->reason = notSignedText();
            return false;
        }
        verdict->notes << QStringLiteral("The product list from %1 is signed by the maker (%2)")
                                  .arg(list.origin, signature.detail);
    } else if (!list.signature.isNull()) {
        verdict->notes << QStringLiteral("The signature of the product list from %1 is not checked")
                                  .arg(list.origin);
    }

    // A list the maker signed without a version counts as the oldest, so it cannot undo a
    // newer one; in a developer's build there is nothing to compare then.
    *version = parseVersion(list.version);
    if (*version < 0) {
        verdict->warnings << QStringLiteral("The product list from %1 gives no readable "
                                            "ManifestVersion")
                                     .arg(list.origin);
        if (verifiesLists())
            *version = 0;
    }
    if (*version >= 0 && *version < highestSeen) {
        verdict->warnings << refusing
                                     + QStringLiteral("its version %1 is older than version %2, "
                                                      "already seen")
                                               .arg(*version)
                                               .arg(highestSeen);
        verdict->reason = olderText();
        return false;
    }

    // The maker's signing tool will not sign a list without an expiry; one signed by hand
    // without it is believed until a newer list replaces it.
    const QDateTime expiry = parseExpiry(list.expires);
    if (!expiry.isValid()) {
        verdict->warnings << QStringLiteral("The product list from %1 gives no readable "
                                            "ManifestExpires: it does not expire")
                                     .arg(list.origin);
    } else if (now >= expiry) {
        verdict->warnings << refusing
                                     + QStringLiteral("it expired on %1, it is now %2")
                                               .arg(expiry.toString(Qt::ISODate),
                                                    now.toString(Qt::ISODate));
        verdict->reason = expiredText(expiry);
        return false;
    }
    return true;
}

DlrManifestTrust::Verdict DlrManifestTrust::check(const QList<DlrListEvidence> &lists) const
{
    Verdict verdict;
    if (lists.isEmpty()) {
        verdict.reason = notSignedText();
        return verdict;
    }
    if (!verifiesLists()) {
        verdict.warnings << QStringLiteral("Product lists are not verified: this build carries "
                                           "no maker keys");
    }
    qint64 highest = highestSeen;
    for (const DlrListEvidence &list : lists) {
        qint64 version = -1;
        if (!checkOne(list, &version, &verdict)) {
            verdict.outcome = Outcome::Refused;
            return verdict;
        }
        highest = qMax(highest, version);
    }
    // Only a list the maker signed moves the remembered version: a developer's build must not
    // lock a user out of the maker's lists with a test list's number.
    verdict.outcome = verifiesLists() ? Outcome::Believed : Outcome::Unverified;
    if (verifiesLists() && highest > highestSeen)
        verdict.remember = highest;
    return verdict;
}

QStringList DlrManifestTrust::withholdOffersWithoutDigest(QList<DlrManifestElement> *offers) const
{
    QStringList lines;
    if (!verifiesLists())
        return lines;
    for (int i = offers->size() - 1; i >= 0; --i) {
        if (offers->at(i).sha256.isEmpty()) {
            lines.prepend(QStringLiteral("Not offering %1: the product list gives no SHA256 for it")
                                  .arg(offers->at(i).label()));
            offers->removeAt(i);
        }
    }
    return lines;
}
