#include "DlrManifestVerdict.h"

#include "DlrManifestHandler.h"
#include "DlrSeenVersions.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>

namespace {
// A manifest file is held to the bound of a service's answer.
constexpr qint64 ManifestFileLimit = 32 * 1024 * 1024;
} // namespace

bool DlrManifestVerdict::readFile(const QString &fileName,
                                  QList<DlrManifestElement> *manifest,
                                  QUrl *successUrl,
                                  DlrListEvidence *evidence,
                                  QString *problem)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot be read: ") + file.errorString();
        return false;
    }
    if (!file.isSequential() && file.size() > ManifestFileLimit) {
        *problem = QStringLiteral("larger than %1 MiB").arg(ManifestFileLimit / (1024 * 1024));
        return false;
    }
    const QByteArray body = file.read(ManifestFileLimit + 1);
    if (body.isEmpty()) {
        *problem = file.error() == QFile::NoError
                           ? QStringLiteral("empty")
                           : QStringLiteral("cannot be read: ") + file.errorString();
        return false;
    }
    QFile signature(fileName + QStringLiteral(".sig"));
    QByteArray signatureText;
    if (signature.open(QIODevice::ReadOnly))
        signatureText = signature.readAll();
    return readBody(fileName, body, signatureText, manifest, successUrl, evidence, problem);
}

bool DlrManifestVerdict::readBody(const QString &origin,
                                  const QByteArray &body,
                                  const QByteArray &signature,
                                  QList<DlrManifestElement> *manifest,
                                  QUrl *successUrl,
                                  DlrListEvidence *evidence,
                                  QString *problem)
{
    evidence->origin = origin;
    evidence->body = body;
    evidence->signature = signature;
    DlrManifestHandler::ListFacts facts;
    const int before = manifest->size();
    const bool parsed = DlrManifestHandler::ParseData(body, manifest, successUrl, problem, &facts);
    evidence->version = facts.version;
    evidence->expires = facts.expires;
    if (parsed && manifest->size() == before)
        *problem = QStringLiteral("no product offer in it (no ProductInfo element)");
    return parsed;
}

QString DlrManifestVerdict::judge(const QList<DlrListEvidence> &lists,
                                  QList<DlrManifestElement> *manifest,
                                  const QList<QByteArray> &keys)
{
    DlrSeenVersions seen;
    QStringList warnings;
    const qint64 highest = seen.load(&warnings);
    const DlrManifestTrust trust(keys, highest, QDateTime::currentDateTimeUtc());
    const DlrManifestTrust::Verdict verdict = trust.check(lists);
    warnings += verdict.warnings;
    for (const QString &line : qAsConst(warnings))
        qWarning().noquote() << line;
    for (const QString &line : verdict.notes)
        qDebug().noquote() << line;
    if (verdict.outcome == DlrManifestTrust::Outcome::Refused) {
        manifest->clear();
        qWarning().noquote() << "Product list refused:" << verdict.reason;
        return verdict.reason;
    }
    if (verdict.remember >= 0) {
        QString error;
        if (seen.remember(verdict.remember, &error))
            qDebug().noquote() << "Remembering product list version" << verdict.remember << "in"
                               << seen.path();
        else
            qWarning().noquote() << "Cannot remember product list version" << verdict.remember
                                 << "in" << seen.path() << ":" << error;
    }
    for (const QString &line : trust.withholdOffersWithoutDigest(manifest))
        qWarning().noquote() << line;
    return QString();
}
