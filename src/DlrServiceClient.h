#pragma once

#include "DlrManifestElement.h"

#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QUrl>

class QAuthenticator;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkRequest;

// The client of the maker's web service: the manifest request and its verdict, the one network
// access manager every request goes through, the certificate policy, the watch for transfers
// that stop moving, and the release of finished replies.
class DlrServiceClient : public QObject
{
    Q_OBJECT

public:
    // Offers of an approved manifest are appended to *manifest, its success address goes to
    // *successUrl; both must outlive the client.
    DlrServiceClient(QList<DlrManifestElement> *manifest, QUrl *successUrl, QObject *parent);

    struct ManifestRequest
    {
        QUrl url;
        QString userId;
        QString password;
        QString platform;
        QString appendFile; // read after an approved answer; empty for none
        QString dumpPath;   // where the answer is copied unchanged; empty for nowhere
    };
    // Posts the form; the verdict arrives as one of the two signals. An earlier request still
    // outstanding is forgotten.
    void requestManifest(const ManifestRequest &request);
    // Appends the offers of a manifest file, with the log lines of its role.
    void readAlternateManifest(const QString &fileName);
    void readAppendedManifest(const QString &fileName);

    // A GET watched like every request; the caller handles its end and gives it back through
    // releaseReply.
    QNetworkReply *get(const QNetworkRequest &request);
    void releaseReply(QNetworkReply *reply);

    // The one manager, made on first use.
    QNetworkAccessManager *networkAccessManager();
    // A transfer that moves no byte for this long fails (default one minute). Applies to
    // requests made after the call.
    void setTransferTimeout(int milliseconds);

    // Certificate problems of a reply: accepted silently when the user accepted once or when
    // it is only a root presented in the chain, else put to the user.
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);
    bool isSslAccepted() const { return sslAccepted; }

    QNetworkReply *manifestReply() const { return pendingManifest; }

    // The proxy asks for credentials: the user is asked for them, a few times at most; left
    // empty, the request fails with the proxy's refusal.
    void proxyCredentials(const QNetworkProxy &proxy, QAuthenticator *authenticator);

    // Every finished reply of the manager: the manifest's is judged, downloads are their
    // owners' business, anything else is released.
    void finishedReply(QNetworkReply *reply);

Q_SIGNALS:
    void validManifestReply();
    void invalidManifestReply(QString reason);

private:
    void replyFromManifestRequest(QNetworkReply *reply);
    void watchForStall(QNetworkReply *reply);

    QList<DlrManifestElement> *manifest;
    QUrl *successUrl;
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *pendingManifest = nullptr;
    QString appendFile;
    QString dumpPath;
    bool sslAccepted = false;
    bool proxyQuestionOpen = false;
    int proxyQuestions = 0;
    QString proxyUser;
    int transferTimeoutMs = 0; // 0: the default
    // Replies whose certificate question is open, and those of them that finished meanwhile.
    QList<QNetworkReply *> questionsOpen;
    QList<QNetworkReply *> releaseAfterQuestion;
};
