#include "DlrProductDownload.h"

#include "DlrDownloadNames.h"
#include "DlrDurableFile.h"
#include "DlrFilePlatform.h"
#include "DlrPlatform.h"
#include "DlrRateLimit.h"
#include "DlrServiceClient.h"
#include "DlrTexts.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QTimer>

#include <utility>

namespace {
constexpr qint64 DigestReadSize = 1024 * 1024;
// What has arrived is copied out and hashed in steps that stay in the processor's cache, and
// written in one piece of up to this size: 1 KiB steps cost about what the hashing does, and a
// write per step about 3 % of a gigabyte's download.
constexpr qint64 CopyStep = 64 * 1024;
constexpr int WriteBlockSize = 1024 * 1024;
// What has been written is handed to the disk in steps of this size as the transfer goes, so
// the flush before the final name has little left to do (without it, a gigabyte waited about
// two seconds for that flush; 32 MiB steps measured a little faster than 2, 8 or 16 MiB).
constexpr qint64 WritebackStep = 32 * 1024 * 1024;
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
    if (resume && fileDigest(tempName, *digest).isEmpty()) // the digest goes on from its bytes
        resume = false;
    if (!resume) {
        if (partial > 0)
            qDebug() << "Starting the download of" << tempName << "over";
        if (!startOver(nullptr))
            return false;
    }
    resumeAt = resume ? partial : 0;
    fileEnd = writtenBack = resumeAt;
    origins = sources ? sources->originsFor(offer)
                      : QList<DlrDownloadOrigin>{{QStringLiteral("maker"), offer.downloadUrl}};
    originIndex = 0;
    request();
    return true;
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
    resumeAt = fileEnd = writtenBack = 0;
    if (target->size() == 0)
        return true;
    if (target->remove() && target->open(QIODevice::WriteOnly))
        return true;
    qWarning() << "Couldn't make" << target->fileName() << "anew:" << target->errorString();
    return false;
}

void DlrProductDownload::abort()
{
    if (transfer)
        transfer->abort();
}

bool DlrProductDownload::writeBlock(const char *data, qint64 length)
{
    // A write cut short says nothing; the one after it fails with the system's reason.
    qint64 done = 0;
    for (qint64 n = 0; done < length && (n = target->write(data + done, length - done)) > 0;)
        done += n;
    if (done < length) {
        writeFailure = writeFailedText(target->fileName(), target->errorString());
        qWarning().noquote() << "Failed writing to file in download:" << writeFailure;
        return false;
    }
    fileEnd += length;
    if (fileEnd - writtenBack >= WritebackStep && target->flush()) {
        DlrFilePlatform::startWriteback(target->handle(), writtenBack, fileEnd - writtenBack);
        writtenBack = fileEnd;
    }
    return true;
}

void DlrProductDownload::readAvailable()
{
    if (!transfer || !target || !target->isOpen()) {
        qDebug() << "error in download reply";
        return;
    }
    if (answer.verdict() == DlrDownloadAnswer::Verdict::Unchecked)
        checkAnswer();
    if (!answer.accepted()) { // an error page or a range of no use
        fetchedNow += qMax<qint64>(0, transfer->skip(transfer->bytesAvailable()));
        return;
    }
    if (block.isEmpty())
        block.resize(WriteBlockSize);
    qint64 allowed = allowance(transfer->bytesAvailable());
    while (transfer->bytesAvailable() > 0 && allowed > 0) {
        qint64 filled = 0;
        while (filled < block.size() && transfer->bytesAvailable() > 0 && allowed > 0) {
            const qint64 got = transfer->read(block.data() + filled,
                                              qMin(qMin(CopyStep, allowed), block.size() - filled));
            if (got <= 0) {
                transfer->abort();
                qDebug() << "Error reading from network";
                return;
            }
            digest->addData(block.constData() + filled, got);
            filled += got;
            allowed -= got;
            fetchedNow += got;
        }
        if (!writeBlock(block.constData(), filled)) {
            transfer->abort();
            return;
        }
    }
    if (rateLimit && transfer->bytesAvailable() > 0 && !pacer->isActive())
        pacer->start(rateLimit->waitMs(qMin(transfer->bytesAvailable(), CopyStep)));
    else if (endPending && transfer->bytesAvailable() == 0)
        transferEnded();
}

// How the transfer ended. Beyond the reply's own error: the file's last buffered bytes may
// fail to reach the disk (a failed write, as when the disk is full), and a connection closed
// cleanly, or a range that stops, before the end of the file is not an error to Qt. Either way
// the incomplete file must never get its final name.
QString DlrProductDownload::closeFile(QNetworkReply *reply)
{
    if (!target->flush() && writeFailure.isEmpty())
        writeFailure = writeFailedText(target->fileName(), target->errorString());
    const qint64 written = target->size();
    target->close();
    if (!writeFailure.isEmpty())
        return writeFailure;
    if (reply->error() != QNetworkReply::NoError)
        return downloadErrorText(reply->error());
    if (!answer.accepted())
        return answer.reason().isEmpty() ? networkErrorText(QNetworkReply::UnknownContentError)
                                         : answer.reason();
    return answer.incompleteReason(reply, written);
}

void DlrProductDownload::transferEnded()
{
    if (answer.verdict() == DlrDownloadAnswer::Verdict::Unchecked)
        checkAnswer();
    // Data still waiting in the reply belongs in the file before it is judged; under a cap it
    // is read as the cap allows, and the end is handled once it is all in.
    endPending = rateLimit && answer.accepted() && transfer->isOpen()
                 && transfer->bytesAvailable() > 0;
    if (endPending) {
        readAvailable();
        return;
    }
    qDebug() << "finished download" << manifestIndex;
    QNetworkReply *reply = transfer;
    client->releaseReply(reply);
    if (pacer)
        pacer->stop();
    if (reply->isOpen() && reply->bytesAvailable() > 0)
        readAvailable();
    transfer = nullptr;
    Q_EMIT fetchedFrom(from(), fetchedNow);
    // The exact count: the toolkit reports progress at most ten times a second.
    reportedSinceStart = true;
    Q_EMIT progress(fileEnd, announcedSize, fetchedEarlier + fetchedNow);
    if (answer.verdict() == DlrDownloadAnswer::Verdict::Restart) {
        if (startOver("its partial file cannot be continued")) {
            request();
            return;
        }
        Q_EMIT failed(QStringLiteral("Couldn't start the download of ") + target->fileName()
                      + QStringLiteral(" over: ") + target->errorString());
        return;
    }

    const QString tempName = target->fileName();
    const QString failure = closeFile(reply);
    // A source that has no such file, does not answer, or sends something else than the listed
    // package is not a failed download: the next source, or the maker, is asked at once. A
    // transfer that broke is continued there later, as any download is.
    if (!failure.isEmpty() && origins.at(originIndex).isSource() && moveOnFrom(reply, failure))
        return;
    if (!failure.isEmpty()) {
        qDebug().noquote() << failure;
        if (QFileInfo(tempName).size() == 0) { // nothing worth continuing
            target->remove();
            QFile::remove(validatorPath(tempName));
        }
        Q_EMIT failed(failure);
        return;
    }

    const QByteArray hex = digest->hexResult();
    qDebug() << "SHA-256 of" << tempName << hex;
    QFile::remove(validatorPath(tempName));
    if (!offer.sha256.isEmpty() && hex != offer.sha256.toLatin1()) {
        qWarning() << "Checksum mismatch: the manifest gives" << offer.sha256;
        if (sources && origins.at(originIndex).isSource())
            sources->damaged(from(), DlrDownloadNames::safeFileName(offer.name));
        if (nextOrigin(QStringLiteral("does not match the product list's SHA-256"), false))
            return;
        target->remove();
        Q_EMIT failed(checksumMismatchText());
        return;
    }
    const QString reason = finalize();
    if (reason.isEmpty())
        Q_EMIT finished();
    else
        Q_EMIT failed(reason);
}

QString DlrProductDownload::finalize()
{
    const QString tempName = target->fileName();
    bool unexpected = false;
    const QString finalName = DlrDownloadNames::finalNameFromTempName(tempName, &unexpected);
    if (unexpected)
        qDebug() << "getFinalNameFromTempName: Unexpected name" << tempName;
    // The bytes reach the disk before any name promises them. Flushed here, so that a failure
    // reads as the failed write it is; the commit's own flush then finds nothing left to write.
    if (!DlrPlatform::syncFile(tempName)) {
        const QString reason
                = writeFailedText(tempName, DlrPlatform::errorText(DlrPlatform::lastError()));
        qWarning().noquote() << reason;
        return reason;
    }
    if (finalName == tempName)
        return QString();
    // Only a file whose digest was checked replaces one of the same name (a damaged copy).
    QString error;
    if ((offer.sha256.isEmpty() && QFile::exists(finalName))
        || !DlrDurableFile::commit(tempName, finalName, &error)) {
        const QString reason = QStringLiteral("Couldn't finalize download when renaming ")
                               + tempName + QStringLiteral(" to ") + finalName;
        qWarning().noquote() << reason << error;
        return reason;
    }
    target->setFileName(finalName);
    return QString();
}
