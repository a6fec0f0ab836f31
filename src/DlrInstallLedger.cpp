#include "DlrInstallLedger.h"

#include "DlrDurableFile.h"

#include <QFile>
#include <QJsonDocument>

DlrInstallLedger::DlrInstallLedger(const QDir &folder)
    : file(folder.absoluteFilePath(QLatin1String(FileName)))
{}

QJsonObject DlrInstallLedger::read() const
{
    QFile ledger(file);
    return ledger.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(ledger.readAll()).object()
                                            : QJsonObject();
}

bool DlrInstallLedger::records(const DlrManifestElement &offer) const
{
    return !offer.buildId.isEmpty() && read().value(offer.name).toString() == offer.buildId;
}

bool DlrInstallLedger::add(const DlrManifestElement &offer, QString *error)
{
    QJsonObject installed = read();
    installed.insert(offer.name, offer.buildId);
    return DlrDurableFile::write(file, QJsonDocument(installed).toJson(), error);
}
