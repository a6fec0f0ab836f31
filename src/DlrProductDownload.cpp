#include "DlrProductDownload.h"

#include "DlrDownloadNames.h"
#include "DlrServiceClient.h"
#include "DlrTexts.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

namespace {
// Qt reads the socket on its own thread and keeps what the application has not read yet;
// this bound keeps memory flat however large the file is.
constexpr qint64 DownloadReadBufferSize = 1024 * 1024;

// Closes the file of a finished download and says how the download ended. Beyond the reply's
// own error: the file's last buffered bytes may fail to reach the disk (a failed write, as when
// the disk is full), and a connection closed cleanly before the announced length is not an
// error to Qt. Either way the incomplete file must never get its final name.
QNetworkReply::NetworkError closeDownloadFile(QNetworkReply *reply, QFile &file)
{
    const bool flushed = file.flush();
    const qint64 written = file.size();
    if (!flushed)
        qDebug() << "Failed writing to file in download" << file.error() << file.errorString();
    file.close();
    if (!flushed)
        return QNetworkReply::OperationCanceledError;
    if (reply->error() != QNetworkReply::NoError)
        return reply->error();

    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    // A compressed body is announced by its compressed length; Qt hands it over inflated.
    if (announced.isValid() && !reply->hasRawHeader("Content-Encoding")
        && announced.toLongLong() != written) {
        qWarning() << "Download ended after" << written << "of" << announced.toLongLong()
                   << "bytes";
        return QNetworkReply::RemoteHostClosedError;
    }
    return QNetworkReply::NoError;
}
} // namespace

DlrProductDownload::DlrProductDownload(DlrServiceClient *client,
                                       const DlrManifestElement &offer,
                                       const QDir &folder,
                                       int manifestIndex,
                                       QObject *parent)
    : QObject(parent)
    , client(client)
    , offer(offer)
    , folder(folder)
    , manifestIndex(manifestIndex)
{}

DlrProductDownload::~DlrProductDownload()
{
    if (transfer) {
        transfer->disconnect(this);
        transfer->abort();
    }
}

QString DlrProductDownload::existingDownload(const DlrManifestElement &offer, const QDir &folder)
{
    const QString fileName = DlrDownloadNames::safeFileName(offer.name);
    if (fileName.isEmpty()) {
        qDebug() << "No usable file name to look for in offer name" << offer.name;
        return QString();
    }
    const QFileInfo existing(folder.absoluteFilePath(fileName));
    qDebug() << "Looking for download of" << existing.absoluteFilePath();
    if (!existing.exists() || existing.size() != offer.fileSize)
        return QString();
    qDebug() << "Found existing download";
    return existing.absoluteFilePath();
}

QString DlrProductDownload::temporaryPath(const DlrManifestElement &offer, const QDir &folder)
{
    const QString fileName = DlrDownloadNames::safeFileName(offer.name);
    if (fileName.isEmpty()) {
        qWarning() << "No usable file name in offer name" << offer.name;
        return QLatin1String(DlrDownloadNames::LastResortName);
    }
    const auto taken = [](const QString &path) {
        return QFileInfo::exists(path);
    };
    return DlrDownloadNames::chooseTempName(folder.absolutePath(), fileName, taken);
}

bool DlrProductDownload::start()
{
    if (DlrDownloadNames::safeFileName(offer.name).isEmpty()) {
        qWarning() << "Refusing to download an offer without a usable file name" << offer.name;
        return false;
    }
    const QString tempName = temporaryPath(offer, folder);
    target.reset(new QFile(tempName));
    if (!target->open(QIODevice::WriteOnly)) {
        qDebug() << "Couldn't open temp file for write" << tempName << "errcode" << target->error()
                 << target->errorString();
        return false;
    }

    qDebug() << "downloading " << offer.label() << "from" << offer.downloadUrl;
    transfer = client->get(QNetworkRequest(offer.downloadUrl));
    transfer->setReadBufferSize(DownloadReadBufferSize);
    connect(transfer, &QNetworkReply::readyRead, this, &DlrProductDownload::readAvailable);
    connect(transfer, &QNetworkReply::downloadProgress, this, &DlrProductDownload::progress);
    connect(transfer, &QNetworkReply::finished, this, &DlrProductDownload::transferEnded);
    return true;
}

void DlrProductDownload::abort()
{
    if (transfer)
        transfer->abort();
}

void DlrProductDownload::readAvailable()
{
    if (!transfer || !target || !target->isOpen()) {
        qDebug() << "error in download reply";
        return;
    }
    while (transfer->bytesAvailable() > 0) {
        const qint64 got = transfer->read(buffer, sizeof buffer);
        if (got < 0) {
            transfer->abort();
            qDebug() << "Error reading from network";
            return;
        }
        const qint64 written = target->write(buffer, got);
        if (written < got) {
            transfer->abort();
            qDebug() << "Failed writing to file in download" << target->error()
                     << target->errorString();
            return;
        }
    }
}

void DlrProductDownload::transferEnded()
{
    qDebug() << "finished download" << manifestIndex;
    QNetworkReply *reply = transfer;
    client->releaseReply(reply);
    // Data still waiting in the reply belongs in the file before it is judged.
    if (reply->isOpen() && reply->bytesAvailable() > 0)
        readAvailable();
    transfer = nullptr;
    const QNetworkReply::NetworkError error = closeDownloadFile(reply, *target);
    if (error != QNetworkReply::NoError) {
        const QString reason = networkErrorText(error);
        qDebug() << reason;
        fail(reason);
        return;
    }

    const QString tempName = target->fileName();
    bool unexpected = false;
    const QString finalName = DlrDownloadNames::finalNameFromTempName(tempName, &unexpected);
    if (unexpected)
        qDebug() << "getFinalNameFromTempName: Unexpected name" << tempName;
    if (finalName == tempName || target->rename(finalName)) {
        Q_EMIT finished();
        return;
    }
    const QString reason = QStringLiteral("Couldn't finalize download when renaming ") + tempName
                           + QStringLiteral(" to ") + finalName;
    qWarning() << reason;
    fail(reason);
}

void DlrProductDownload::fail(const QString &reason)
{
    Q_EMIT failed(reason);
}
