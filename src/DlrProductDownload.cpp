#include "DlrProductDownload.h"

#include "DlrDownloadNames.h"
#include "DlrPlatform.h"
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
constexpr qint64 DigestReadSize = 1024 * 1024;
// What has arrived is copied out and hashed in steps that stay in the processor's cache, and
// written in one piece of up to this size: 1 KiB steps cost about what the hashing does, and a
// write per step about 3 % of a gigabyte's download.
constexpr qint64 CopyStep = 64 * 1024;
constexpr int WriteBlockSize = 1024 * 1024;

// The SHA-256 of a whole file, or empty when it cannot be read.
QByteArray fileDigest(const QString &path, DlrPlatform::Sha256 &digest)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray chunk(int(DigestReadSize), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), DigestReadSize);
        if (got < 0)
            return QByteArray();
        if (got == 0)
            return digest.hexResult();
        digest.addData(chunk.constData(), got);
    }
}

// What a later range request can name the file by: a strong entity tag, else the date of its
// last change. A weak tag cannot vouch for bytes, so it gives nothing either way.
QByteArray validatorOf(const QNetworkReply *reply)
{
    const QByteArray tag = reply->rawHeader("ETag");
    if (!tag.isEmpty())
        return tag.startsWith("W/") ? QByteArray() : tag;
    return reply->rawHeader("Last-Modified");
}

// The first byte of a "Content-Range: bytes FIRST-LAST/SIZE" answer, or -1.
qint64 rangeStart(const QNetworkReply *reply)
{
    const QByteArray range = reply->rawHeader("Content-Range").trimmed();
    if (!range.startsWith("bytes "))
        return -1;
    bool ok = false;
    const qint64 first = range.mid(6, range.indexOf('-') - 6).trimmed().toLongLong(&ok);
    return ok ? first : -1;
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

QString DlrProductDownload::validatorPath(const QString &temporaryPath)
{
    return temporaryPath + QStringLiteral(".validator");
}

QString DlrProductDownload::checksumMismatchText()
{
    return QStringLiteral("The downloaded file is damaged (checksum mismatch)");
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
    if (!offer.sha256.isEmpty()) {
        DlrPlatform::Sha256 digest;
        const QByteArray hex = fileDigest(existing.absoluteFilePath(), digest);
        if (hex != offer.sha256.toLatin1()) {
            qWarning() << "Existing download" << existing.absoluteFilePath() << "has SHA-256" << hex
                       << "instead of" << offer.sha256 << "- downloading it again";
            return QString();
        }
        qDebug() << "SHA-256 of" << existing.absoluteFilePath() << hex;
    }
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
    // A file of the offer's size under the first-choice name that was not taken as it is
    // failed its digest: the download replaces it once its own digest is right.
    const QString firstChoice = folder.absoluteFilePath(fileName);
    if (!offer.sha256.isEmpty() && QFileInfo(firstChoice).size() == offer.fileSize
        && offer.fileSize > 0)
        return firstChoice + QLatin1Char('.') + QLatin1String(DlrDownloadNames::TempSuffix);
    // A partial file does not make its name unavailable: it is this offer's, to be continued.
    const auto taken = [](const QString &path) {
        return !path.endsWith(QLatin1String(DlrDownloadNames::TempSuffix))
               && QFileInfo::exists(path);
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
    const qint64 partial = QFileInfo(tempName).size();
    QFile validatorFile(validatorPath(tempName));
    if (partial > 0 && validatorFile.open(QIODevice::ReadOnly))
        validator = QString::fromLatin1(validatorFile.readLine().trimmed());
    bool resume = partial > 0 && !validator.isEmpty();
    if (resume && offer.fileSize > 0 && partial > offer.fileSize) {
        qWarning() << "Partial download" << tempName << "holds" << partial
                   << "bytes, more than the offer's" << offer.fileSize;
        resume = false;
    }
    // Appending never truncates; a partial file that is not continued is made anew below.
    if (!target->open(QIODevice::Append)) {
        qDebug() << "Couldn't open temp file for write" << tempName << "errcode" << target->error()
                 << target->errorString();
        return false;
    }
    digest.reset(new DlrPlatform::Sha256);
    if (resume && !digestPartialFile())
        resume = false;
    if (!resume) {
        if (partial > 0)
            qDebug() << "Starting the download of" << tempName << "over";
        if (!startOver(nullptr))
            return false;
    }
    resumeAt = resume ? partial : 0;
    qDebug() << "downloading " << offer.label() << "from" << offer.downloadUrl;
    request();
    return true;
}

bool DlrProductDownload::digestPartialFile()
{
    return !fileDigest(target->fileName(), *digest).isEmpty();
}

// The file is made anew rather than truncated: ext4 takes a file truncated to nothing for one
// being rewritten in place and writes all its new data out when it is closed, which held the
// end of a 1 GiB download up by half a second and more.
bool DlrProductDownload::startOver(const char *why)
{
    if (why)
        qDebug() << "Starting the download of" << target->fileName() << "over:" << why;
    digest.reset(new DlrPlatform::Sha256);
    QFile::remove(validatorPath(target->fileName()));
    validator.clear();
    resumeAt = 0;
    if (target->size() == 0)
        return true;
    if (target->remove() && target->open(QIODevice::WriteOnly))
        return true;
    qWarning() << "Couldn't make" << target->fileName() << "anew:" << target->errorString();
    return false;
}

void DlrProductDownload::request()
{
    QNetworkRequest request(offer.downloadUrl);
    if (resumeAt > 0) {
        qDebug() << "Continuing the download at byte" << resumeAt;
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeAt) + '-');
        request.setRawHeader("If-Range", validator.toLatin1());
    }
    answer = Answer::Unchecked;
    transfer = client->get(request);
    transfer->setReadBufferSize(DownloadReadBufferSize);
    connect(transfer, &QNetworkReply::readyRead, this, &DlrProductDownload::readAvailable);
    connect(transfer, &QNetworkReply::downloadProgress, this, [this](qint64 got, qint64 total) {
        Q_EMIT progress(resumeAt + got, total > 0 ? resumeAt + total : -1);
    });
    connect(transfer, &QNetworkReply::finished, this, &DlrProductDownload::transferEnded);
}

void DlrProductDownload::checkAnswer()
{
    const QVariant status = transfer->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // No status: not HTTP (the file itself), or no answer at all (the file stays as it is).
    const int code = status.isValid()                              ? status.toInt()
                     : transfer->error() == QNetworkReply::NoError ? 200
                                                                   : 0;
    answer = Answer::Refused;
    if (resumeAt > 0 && code == 206) {
        const QByteArray tag = validatorOf(transfer);
        if (rangeStart(transfer) != resumeAt) {
            answer = Answer::Restart;
            qWarning() << "The server's range starts elsewhere:"
                       << transfer->rawHeader("Content-Range");
        } else if (!tag.isEmpty() && tag != validator.toLatin1()) {
            answer = Answer::Restart;
            qWarning() << "The file changed on the server:" << tag << "was" << validator;
        } else {
            answer = Answer::Accepted;
        }
    } else if (resumeAt > 0 && code == 416) {
        answer = Answer::Restart;
        qWarning() << "The server has no bytes from" << resumeAt;
    } else if (code >= 200 && code < 300 && code != 206) {
        if (resumeAt > 0 && !startOver("the server sent the whole file")) {
            answer = Answer::Refused;
            return;
        }
        const QByteArray tag = validatorOf(transfer);
        QFile validatorFile(validatorPath(target->fileName()));
        if (!tag.isEmpty() && validatorFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
            validatorFile.write(tag + '\n');
        answer = Answer::Accepted;
    }
    // Given up from the event loop: the reply is in the middle of delivering this answer.
    if (answer == Answer::Restart && transfer->isRunning())
        QMetaObject::invokeMethod(transfer, &QNetworkReply::abort, Qt::QueuedConnection);
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
    if (answer == Answer::Unchecked)
        checkAnswer();
    if (answer != Answer::Accepted) {
        transfer->skip(transfer->bytesAvailable()); // an error page or a range of no use
        return;
    }
    if (block.isEmpty())
        block.resize(WriteBlockSize);
    while (transfer->bytesAvailable() > 0) {
        qint64 filled = 0;
        while (filled < block.size() && transfer->bytesAvailable() > 0) {
            const qint64 got
                    = transfer->read(block.data() + filled, qMin(CopyStep, block.size() - filled));
            if (got <= 0) {
                transfer->abort();
                qDebug() << "Error reading from network";
                return;
            }
            digest->addData(block.constData() + filled, got);
            filled += got;
        }
        if (target->write(block.constData(), filled) < filled) {
            transfer->abort();
            qDebug() << "Failed writing to file in download" << target->error()
                     << target->errorString();
            return;
        }
    }
}

// How the transfer ended. Beyond the reply's own error: the file's last buffered bytes may
// fail to reach the disk (a failed write, as when the disk is full), and a connection closed
// cleanly before the announced length is not an error to Qt. Either way the incomplete file
// must never get its final name.
QNetworkReply::NetworkError DlrProductDownload::closeFile(QNetworkReply *reply)
{
    const bool flushed = target->flush();
    const qint64 written = target->size();
    if (!flushed)
        qDebug() << "Failed writing to file in download" << target->error()
                 << target->errorString();
    target->close();
    if (!flushed)
        return QNetworkReply::OperationCanceledError;
    if (reply->error() != QNetworkReply::NoError)
        return reply->error();
    if (answer != Answer::Accepted)
        return QNetworkReply::UnknownContentError;

    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    // A compressed body is announced by its compressed length; Qt hands it over inflated.
    if (announced.isValid() && !reply->hasRawHeader("Content-Encoding")
        && resumeAt + announced.toLongLong() != written) {
        qWarning() << "Download ended after" << written << "of" << resumeAt + announced.toLongLong()
                   << "bytes";
        return QNetworkReply::RemoteHostClosedError;
    }
    return QNetworkReply::NoError;
}

void DlrProductDownload::transferEnded()
{
    qDebug() << "finished download" << manifestIndex;
    QNetworkReply *reply = transfer;
    client->releaseReply(reply);
    if (answer == Answer::Unchecked)
        checkAnswer();
    // Data still waiting in the reply belongs in the file before it is judged.
    if (reply->isOpen() && reply->bytesAvailable() > 0)
        readAvailable();
    transfer = nullptr;
    if (answer == Answer::Restart) {
        if (startOver("its partial file cannot be continued")) {
            request();
            return;
        }
        Q_EMIT failed(QStringLiteral("Couldn't start the download of ") + target->fileName()
                      + QStringLiteral(" over: ") + target->errorString());
        return;
    }

    const QString tempName = target->fileName();
    const QNetworkReply::NetworkError error = closeFile(reply);
    if (error != QNetworkReply::NoError) {
        const QString reason = networkErrorText(error);
        qDebug() << reason;
        if (QFileInfo(tempName).size() == 0) { // nothing worth continuing
            target->remove();
            QFile::remove(validatorPath(tempName));
        }
        Q_EMIT failed(reason);
        return;
    }

    const QByteArray hex = digest->hexResult();
    qDebug() << "SHA-256 of" << tempName << hex;
    QFile::remove(validatorPath(tempName));
    if (!offer.sha256.isEmpty() && hex != offer.sha256.toLatin1()) {
        qWarning() << "Checksum mismatch: the manifest gives" << offer.sha256;
        target->remove();
        Q_EMIT failed(checksumMismatchText());
        return;
    }
    bool unexpected = false;
    const QString finalName = DlrDownloadNames::finalNameFromTempName(tempName, &unexpected);
    if (unexpected)
        qDebug() << "getFinalNameFromTempName: Unexpected name" << tempName;
    // Only a file whose digest was checked replaces one of the same name (a damaged copy).
    if (!offer.sha256.isEmpty() && finalName != tempName && QFile::exists(finalName))
        QFile::remove(finalName);
    if (finalName == tempName || target->rename(finalName)) {
        Q_EMIT finished();
        return;
    }
    const QString reason = QStringLiteral("Couldn't finalize download when renaming ") + tempName
                           + QStringLiteral(" to ") + finalName;
    qWarning() << reason;
    Q_EMIT failed(reason);
}
