#include "DlrUnattendedReport.h"

#include "DlrDurableFile.h"
#include "DlrPlatform.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>

void DlrUnattendedReport::setSurvey(const QList<InstalledRecord> &records)
{
    survey = records;
}

void DlrUnattendedReport::setProposal(const QList<DlrUnattendedPlan::Row> &rows)
{
    proposal = rows;
}

DlrUnattendedReport::Product &DlrUnattendedReport::product(int index)
{
    for (Product &p : productList) {
        if (p.index == index)
            return p;
    }
    productList.append(Product());
    productList.last().index = index;
    return productList.last();
}

void DlrUnattendedReport::setOutcome(int code, const QString &name, const QString &text)
{
    exitCode = code;
    exitName = name;
    message = text;
}

QByteArray DlrUnattendedReport::toJson() const
{
    // Hosts carry no location; installed products do (as in the survey's own log lines).
    QJsonArray hosts;
    QJsonArray installed;
    for (const InstalledRecord &record : survey) {
        if (!record.contains(QStringLiteral("Location"))) {
            hosts.append(QJsonObject{{"product", record.value(QStringLiteral("ProductName"))},
                                     {"version", record.value(QStringLiteral("Version"))}});
        } else {
            installed.append(QJsonObject{{"product", record.value(QStringLiteral("ProductName"))},
                                         {"version", record.value(QStringLiteral("Version"))},
                                         {"buildId", record.value(QStringLiteral("BuildId"))},
                                         {"location", record.value(QStringLiteral("Location"))}});
        }
    }

    QJsonArray offers;
    for (const DlrUnattendedPlan::Row &row : proposal) {
        offers.append(QJsonObject{{"name", row.name},
                                  {"label", row.label},
                                  {"buildId", row.buildId},
                                  {"fileSize", double(row.fileSize)},
                                  {"hidden", row.hidden},
                                  {"installedBefore", row.recorded},
                                  {"selected", row.checked}});
    }

    QJsonArray products;
    double fromSources = 0, fromMaker = 0;
    for (const Product &p : productList) {
        QJsonObject entry{{"name", p.name}, {"label", p.label}};
        QJsonObject bySource;
        for (auto it = p.bytesBySource.cbegin(); it != p.bytesBySource.cend(); ++it) {
            bySource.insert(it.key(), double(it.value()));
            (it.key() == QLatin1String("maker") ? fromMaker : fromSources) += double(it.value());
        }
        if (p.attempts > 0 || p.reused)
            entry.insert(QStringLiteral("download"), QJsonObject{{"complete", p.downloaded},
                                                                 {"reusedFile", p.reused},
                                                                 {"attempts", p.attempts},
                                                                 {"bytes", double(p.bytes)},
                                                                 {"seconds", p.downloadSeconds},
                                                                 {"sha256", p.sha256},
                                                                 {"from", p.from},
                                                                 {"bytesBySource", bySource}});
        if (p.installed)
            entry.insert(QStringLiteral("install"),
                         QJsonObject{{"returnCode", p.returnCode}, {"seconds", p.installSeconds}});
        products.append(entry);
    }

    QJsonObject root{{"survey", QJsonObject{{"hosts", hosts}, {"installed", installed}}},
                     {"proposal", offers},
                     {"products", products},
                     {"productList", listOrigin},
                     {"bytesFromSources", fromSources},
                     {"bytesFromMaker", fromMaker},
                     {"nothingToDo", exitCode == 0 && productList.isEmpty()},
                     {"exitCode", exitCode},
                     {"exit", exitName},
                     {"message", message}};
    if (!mirror.folder.isEmpty())
        root.insert(QStringLiteral("mirror"),
                    QJsonObject{{"folder", mirror.folder},
                                {"fetched", QJsonArray::fromStringList(mirror.fetched)},
                                {"kept", QJsonArray::fromStringList(mirror.kept)},
                                {"removed", QJsonArray::fromStringList(mirror.removed)}});
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool DlrUnattendedReport::write(const QString &path, QString *error) const
{
    return DlrDurableFile::write(path, toJson(), error);
}

bool DlrUnattendedReport::canWrite(const QString &path, QString *problem)
{
    const QFileInfo info(path);
    if (info.isDir()) {
        *problem = QStringLiteral("%1 is a folder").arg(path);
        return false;
    }
    // The report is written as a new file beside its name, then renamed: try the first half.
    QTemporaryFile probe(info.absoluteFilePath() + QStringLiteral(".XXXXXX"));
    if (!probe.open()) {
        *problem = QStringLiteral("%1 cannot be written: %2").arg(path, probe.errorString());
        return false;
    }
    return true;
}

QString DlrUnattendedReport::digestOf(const DlrManifestElement &offer)
{
    if (!offer.sha256.isEmpty())
        return offer.sha256;
    if (!offer.downloadFile)
        return QString();
    QFile file(offer.downloadFile->fileName());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    DlrPlatform::Sha256 digest;
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = file.read(buffer.data(), buffer.size())) > 0)
        digest.addData(buffer.constData(), got);
    return got < 0 ? QString() : QString::fromLatin1(digest.hexResult());
}
