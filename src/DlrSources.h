#pragma once

#include "DlrManifestElement.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <functional>

class DlrServiceClient;
class QNetworkReply;

// One place a package's bytes may come from: a source (a web server or a folder that holds a
// mirror) or the maker's own address.
struct DlrDownloadOrigin
{
    QString name; // the source as the administrator gave it, or "maker"
    QUrl url;
    bool isSource() const { return name != QLatin1String("maker"); }
};

// The sources of a run (-source URL|DIR, in order of preference): a web server's folder or a
// folder on disk holding manifest.xml, manifest.xml.sig and packages under their file names, as
// -mirror writes them. The product list is read from the first source that answers; each package
// is looked for at every source still answering, then at the maker's address. A source is
// trusted with nothing: the list is held to the maker's rules like the service's, and every
// package to the list's SHA-256.
class DlrSources : public QObject
{
    Q_OBJECT

public:
    static constexpr int AnswerTimeoutMs = 10 * 1000;

    DlrSources(DlrServiceClient *client, const QStringList &sources, QObject *parent = nullptr);

    bool isEmpty() const { return list.isEmpty(); }

    // Asks each source in turn for the product list; ends with listFound or noneAnswered.
    void fetchList();

    // Where the offer's package is looked for, in order: each source still answering that has
    // not given a damaged copy of it (a folder only when it holds the file), then the maker.
    QList<DlrDownloadOrigin> originsFor(const DlrManifestElement &offer) const;
    // The source did not answer: it is not asked again in this run.
    void passOver(const QString &name, const QString &why);
    // The source's copy of the file failed its digest: the file is not taken from it again.
    void damaged(const QString &name, const QString &fileName);
    // A line for the administrator (standard output and the log).
    void tell(const QString &line);

    // The address of a file at a source given as a URL.
    static QUrl fileUrl(const QUrl &base, const QString &fileName);

Q_SIGNALS:
    void notice(const QString &line);
    void listFound(const QString &origin, const QByteArray &body, const QByteArray &signature);
    void noneAnswered();

private:
    struct Source
    {
        QString name;
        QUrl base;      // of a web source
        QString folder; // of a folder source
        bool passedOver = false;
        QSet<QString> damagedFiles;
    };

    void tryNext();
    void readFolder(const Source &source);
    // GETs the URL, answered within AnswerTimeoutMs or given up; then calls done with the body,
    // or with a null array and why.
    void fetch(const QUrl &url, std::function<void(const QByteArray &, const QString &)> done);

    DlrServiceClient *client;
    QList<Source> list;
    int next = 0;
};
