#pragma once

#include "DlrDownloadAnswer.h"
#include "DlrManifestElement.h"
#include "DlrSources.h"

#include <QDir>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>

#include <memory>

namespace DlrPlatform {
class Sha256;
}
class DlrRateLimit;
class DlrServiceClient;
class QFile;
class QTimer;

// One offer into one file: the names it may use in the download folder, the transfer streamed
// into a temporary file while its SHA-256 is computed, and the file's completeness and digest
// checked, and its bytes flushed to disk, before it takes its final name. Redirects are
// followed (a few, never from https to http). A transfer that breaks leaves its partial file
// (and the server's validator beside it) for the next attempt to continue with a range
// request. Ends with exactly one of finished or failed.
class DlrProductDownload : public QObject
{
    Q_OBJECT

public:
    DlrProductDownload(DlrServiceClient *client,
                       const DlrManifestElement &offer,
                       const QDir &folder,
                       int manifestIndex,
                       QObject *parent = nullptr);
    ~DlrProductDownload() override;

    // The complete file an earlier run left under the offer's first-choice name (of its size,
    // and of its digest when the manifest gives one), or empty.
    static QString existingDownload(const DlrManifestElement &offer, const QDir &folder);
    // The temporary name to download the offer into; a partial file there is continued.
    static QString temporaryPath(const DlrManifestElement &offer, const QDir &folder);
    // Where the server's validator of a partial file is kept.
    static QString validatorPath(const QString &temporaryPath);

    // Looks for the package at the run's sources first (null: the maker's address only).
    void setSources(DlrSources *sources) { this->sources = sources; }
    // Reads no faster than the run's cap allows (null: as fast as it comes).
    void setRateLimit(DlrRateLimit *limit) { rateLimit = limit; }
    // Where the bytes of the request in hand come from: a source, or "maker".
    QString from() const { return origins.value(originIndex).name; }

    // Opens the temporary file and sends the request. False (logged) when nothing started.
    bool start();
    // Gives the transfer up; it then fails with the cancel error.
    void abort();
    // Copies what has arrived into the file.
    void readAvailable();

    QNetworkReply *reply() const { return transfer; }
    QSharedPointer<QFile> file() const { return target; }

Q_SIGNALS:
    // Bytes of the whole file so far, its size (or -1 when unknown), and the bytes that came
    // over the network for it since start(), over every request it took.
    void progress(qint64 received, qint64 total, qint64 fetched);
    // The file is complete under its final name (file() names it).
    void finished();
    void failed(const QString &reason);
    // One request ended, having fetched these bytes over the network from the origin.
    void fetchedFrom(const QString &origin, qint64 bytes);

private:
    // Sends the request: a range from what the file holds, or the whole file.
    void request();
    // Decides from the answer's status and headers what its body is worth.
    void checkAnswer();
    // Drops what the file holds; the next request fetches the whole file. False (logged) when
    // the file cannot be made anew.
    bool startOver(const char *why);
    bool writeBlock(const char *data, qint64 length);
    void transferEnded();
    // Closes the file and tells whether it is complete: empty, or why not.
    QString closeFile(QNetworkReply *reply);
    // The origin in hand failed for a reason of its own (it has no such file, did not answer,
    // or its copy fails the digest): the download goes on from the next one, from the start.
    // False when there is none left to try.
    bool nextOrigin(const QString &why, bool passOver);
    // Whether a failure of the source in hand is the source's own (see nextOrigin); true when
    // the download goes on from the next origin.
    bool moveOnFrom(QNetworkReply *reply, const QString &failure);
    // Reads what the cap allows now, and comes back for the rest when it allows more.
    qint64 allowance(qint64 wanted);
    // Flushes the checked file to disk and gives it its final name: empty, or why not.
    QString finalize();

    DlrServiceClient *client;
    DlrManifestElement offer;
    QDir folder;
    int manifestIndex;
    QPointer<QNetworkReply> transfer;
    QSharedPointer<QFile> target;
    std::unique_ptr<DlrPlatform::Sha256> digest;
    QString validator;   // of the partial file, sent as If-Range
    qint64 resumeAt = 0; // bytes the file held when the request went out
    DlrDownloadAnswer answer;
    QByteArray block;          // what arrived, on its way into the file
    qint64 fileEnd = 0;        // bytes in the file
    qint64 writtenBack = 0;    // bytes of it handed to the disk so far
    qint64 announcedSize = -1; // of the whole file, from the answer's length
    // Bytes read from the network by the requests before this one, and by this one.
    qint64 fetchedEarlier = 0, fetchedNow = 0;
    int requestSerial = 0;           // the request a posted start report belongs to
    bool reportedSinceStart = false; // the request in hand has reported progress
    QString writeFailure;            // why the file could not take what arrived
    DlrSources *sources = nullptr;
    QList<DlrDownloadOrigin> origins; // to try in order; the maker's address last
    int originIndex = 0;
    bool noAnswer = false; // the source in hand did not answer in time
    DlrRateLimit *rateLimit = nullptr;
    QTimer *pacer = nullptr; // brings readAvailable back when the cap allows more
    bool endPending = false; // the reply has ended: what it holds is read as the cap allows
};
