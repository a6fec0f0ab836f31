#pragma once

#include "DlrManifestElement.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// One product list as it arrived: its exact bytes and what came beside it and inside it.
struct DlrListEvidence
{
    QString origin;        // for the log: "the service", or the file's path
    QByteArray body;       // the exact bytes that were signed
    QByteArray bodySha256; // their SHA-256 in hex when it was made as they arrived; else empty
    QByteArray signature;  // the X-Manifest-Signature header or FILE.sig; null when none came
    QString version;       // the text of <ManifestVersion>; null when the list has none
    QString expires;       // the text of <ManifestExpires>; null when the list has none
};

// Whether to believe the product lists of a run: the service's list and any appended file, each
// signed by one of the maker's keys, none older than the newest already believed, none expired.
// A build without keys (a developer's) accepts every list unverified and says so. No network,
// no window: the caller brings the lists, the remembered version and the time.
class DlrManifestTrust
{
public:
    enum class Outcome {
        Believed,   // every list is signed by the maker, current and not expired
        Unverified, // a developer's build: accepted without a signature check
        Refused,
    };
    struct Verdict
    {
        Outcome outcome = Outcome::Refused;
        QString reason;       // when refused: the text the user reads
        QStringList warnings; // for the log at warning level
        QStringList notes;    // for the log at debug level
        qint64 remember = -1; // when believed: the version to remember (-1: nothing new)
    };

    DlrManifestTrust(const QList<QByteArray> &makerKeys, qint64 highestSeen, const QDateTime &now);

    bool verifiesLists() const { return !keys.isEmpty(); }

    // The service's list (or the -manifest file) first, then appended files. Each list is held
    // to every rule; the first refusal refuses them all, so a signed list is never mixed with
    // an unsigned one in a build with keys.
    Verdict check(const QList<DlrListEvidence> &lists) const;

    // In a build with keys, removes the offers without a SHA256: nothing may be installed whose
    // digest the maker did not sign. One warning line per offer removed.
    QStringList withholdOffersWithoutDigest(QList<DlrManifestElement> *offers) const;

    static QString notSignedText();
    static QString olderText();
    // "The product list expired on 2027-01-31 00:00 UTC".
    static QString expiredText(const QDateTime &expiry);
    // A whole number of at most 18 digits; -1 for anything else.
    static qint64 parseVersion(const QString &text);
    // Exactly 2027-01-31T00:00:00Z (UTC); an invalid time for anything else.
    static QDateTime parseExpiry(const QString &text);

private:
    bool checkOne(const DlrListEvidence &list, qint64 *version, Verdict *verdict) const;

    QList<QByteArray> keys;
    qint64 highestSeen = 0;
    QDateTime now;
};
