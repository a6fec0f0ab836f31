#pragma once

#include "DlrManifestElement.h"
#include "DlrManifestTrust.h"

#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QAuthenticator;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkRequest;
namespace DlrPlatform {
class Sha256;
}

// The client of the maker's web service: the manifest request and its verdict (the lists held to
// the maker's rules: signed, not older than one already seen, not expired), the one network
// access manager every request goes through, the certificate policy, the watch for transfers
// that stop moving, and the release of finished replies.
class DlrServiceClient : public QObject
{
    Q_OBJECT

public:
    // Offers of an approved manifest are appended to *manifest, its success address goes to
    // *successUrl; both must outlive the client.
    DlrServiceClient(QList<DlrManifestElement> *manifest, QUrl *successUrl, QObject *parent);
    ~DlrServiceClient() override;

    struct ManifestRequest
    {
        QUrl url;
        QString userId;
        QString password;
        QString platform;
        QString file;       // read instead of asking the service; empty to ask it
        QString appendFile; // read after an approved answer; empty for none
        QString dumpPath;   // where the answer is copied unchanged; empty for nowhere
    };
    // Posts the form, or reads the file instead; the verdict arrives as one of the two signals
    // (for a file before this returns: valid whatever it held, unless the maker's rules refuse
    // it). An earlier request still outstanding is forgotten.
    void requestManifest(const ManifestRequest &request);
    // Appends the offers of a manifest file, with the log lines of its role. A file that is
    // missing, unreadable, empty, broken or without any offer is noted in manifestFileProblem.
    void readAlternateManifest(const QString &fileName);
    void readAppendedManifest(const QString &fileName);
    // Takes the product list a source gave (its exact bytes and its signature text) as the
    // service's answer would be taken: held to the same rules, with the same signals.
    void acceptList(const QString &origin, const QByteArray &body, const QByteArray &signature);
    // The main list of the last believed request exactly as it arrived, and its signature text
    // (empty when none came): what a mirror keeps.
    QByteArray believedBody() const { return keptBody; }
    QByteArray believedSignature() const { return keptSignature; }
    // What was wrong with a manifest file the last request read ("FILE: line 3, column 20:
    // ..."); empty when there was none or it was read whole.
    QString manifestFileProblem() const { return fileProblem; }
    // Why the last manifest request brought no verdict or an unreadable manifest, as the
    // transfer knows it ("Connection refused", "HTTP 500 Internal Server Error", the parser's
    // line and column); empty after a verdict.
    QString manifestFailure() const { return failure; }
    // Why the maker's rules refused the product lists of the last request ("The product list is
    // not signed by the maker", "... is older than one already seen", "... expired on ...");
    // empty when they were believed.
    QString listRefusal() const { return refusal; }

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
    // it is only a root presented in the chain, else put to the user, or to the judge.
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);
    bool isSslAccepted() const { return sslAccepted; }
    // A run without questions judges every certificate problem on its own, by the certificate
    // of the host that presents it: true lets the transfer go on. The wizard's one answer for
    // the whole run then does not apply.
    using CertificateJudge = std::function<bool(QNetworkReply *, const QList<QSslError> &)>;
    void setCertificateJudge(CertificateJudge judge) { certificateJudge = std::move(judge); }

    QNetworkReply *manifestReply() const { return pendingManifest; }

    // The proxy asks for credentials: the user is asked for them, a few times at most for each
    // request; left empty, the request fails with the proxy's refusal.
    void proxyCredentials(const QNetworkProxy &proxy, QAuthenticator *authenticator);

    // Every finished reply of the manager: the manifest's is judged, downloads are their
    // owners' business, anything else is released.
    void finishedReply(QNetworkReply *reply);

Q_SIGNALS:
    void validManifestReply();
    void invalidManifestReply(QString reason);

private:
    static constexpr char StallTimerName[] = "tessStallTimer";

    void replyFromManifestRequest(QNetworkReply *reply);
    // What arrived of the manifest answer, kept and digested.
    void takeArrived(QNetworkReply *reply);
    bool believeLists();
    void watchForStall(QNetworkReply *reply);
    // A request begins: it has met no proxy refusal yet.
    void requestStarts();
    void readManifestFile(const QString &fileName, const char *announcement, const char *success);

    QList<DlrManifestElement> *manifest;
    QUrl *successUrl;
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *pendingManifest = nullptr;
    QString appendFile;
    QString dumpPath;
    bool sslAccepted = false;
    CertificateJudge certificateJudge;
    QString fileProblem;
    QString failure;
    QString refusal;
    const QList<QByteArray> makerKeys; // this build's; none in a developer's build
    QList<DlrListEvidence> lists;      // of the request under way
    QByteArray arrivedBody;
    QByteArray keptBody, keptSignature;
    std::unique_ptr<DlrPlatform::Sha256> arrivedDigest;
    bool proxyQuestionOpen = false;
    int proxyQuestions = 0;
    QString proxyUser;
    int transferTimeoutMs = 0; // 0: the default
    // Replies whose certificate question is open, and those of them that finished meanwhile.
    QList<QNetworkReply *> questionsOpen;
    QList<QNetworkReply *> releaseAfterQuestion;
};
