#pragma once

#include "DlrManifestElement.h"

#include <QDir>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>

class DlrServiceClient;
class QFile;
class QNetworkReply;

// One offer into one file: the names it may use in the download folder, the transfer streamed
// into a temporary file, and the file's completeness before it takes its final name. Ends with
// exactly one of finished or failed.
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

    // The complete file an earlier run left under the offer's first-choice name, or empty.
    static QString existingDownload(const DlrManifestElement &offer, const QDir &folder);
    // The temporary name to download the offer into.
    static QString temporaryPath(const DlrManifestElement &offer, const QDir &folder);

    // Opens the temporary file and sends the request. False (logged) when nothing started.
    bool start();
    // Gives the transfer up; it then fails with the cancel error.
    void abort();
    // Copies what has arrived into the file.
    void readAvailable();

    QNetworkReply *reply() const { return transfer; }
    QSharedPointer<QFile> file() const { return target; }

Q_SIGNALS:
    // Bytes of the whole file so far, and its announced size (or -1).
    void progress(qint64 received, qint64 total);
    // The file is complete under its final name (file() names it).
    void finished();
    void failed(const QString &reason);

private:
    void transferEnded();
    void fail(const QString &reason);

    DlrServiceClient *client;
    DlrManifestElement offer;
    QDir folder;
    int manifestIndex;
    QPointer<QNetworkReply> transfer;
    QSharedPointer<QFile> target;
    char buffer[1024];
};
