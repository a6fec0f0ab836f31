#include "DlrServiceClient.h"

#include "DlrMessageBox.h"

#include <QAuthenticator>
#include <QDebug>
#include <QNetworkProxy>
#include <QTimer>

// The questions a transfer can put: a certificate problem and a proxy's request for credentials.
// Neither touches what a product list or a package must prove: a certificate accepted here
// relaxes the transport only.

void DlrServiceClient::sslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    if (sslAccepted) {
        reply->ignoreSslErrors();
        return;
    }
    if (errors.size() == 1 && errors.first().error() == QSslError::SelfSignedCertificateInChain) {
        reply->ignoreSslErrors();
        return;
    }
    if (certificateJudge) {
        if (certificateJudge(reply, errors))
            reply->ignoreSslErrors();
        return;
    }

    DlrMessageBox::Spec box;
    box.id = QLatin1String(DlrBox::SslErrors);
    box.icon = QMessageBox::Critical;
    box.text = QStringLiteral("There was issue with the SSL connection. Continue anyway?");
    if (errors.size() == 1) {
        box.informativeText = errors.first().errorString();
    } else {
        box.informativeText = QStringLiteral("There were multiple issues with the SSL connection");
        QStringList texts;
        for (const QSslError &error : errors) {
            qDebug() << "ssl error: %s" << error.errorString();
            texts << error.errorString();
        }
        box.detailedText = texts.join(QStringLiteral("---"));
    }
    box.buttons = QMessageBox::Ok | QMessageBox::Cancel;
    box.defaultButton = QMessageBox::Ok;
    questionsOpen.append(reply);
    const bool accepted = DlrMessageBox::show(box) == QMessageBox::Ok;
    questionsOpen.removeOne(reply);
    if (accepted) {
        reply->ignoreSslErrors();
        sslAccepted = true;
    }
    if (releaseAfterQuestion.removeOne(reply)) {
        reply->deleteLater();
        return;
    }
    // The stall time starts again from the answer.
    auto *stall
            = reply->findChild<QTimer *>(QLatin1String(StallTimerName), Qt::FindDirectChildrenOnly);
    if (stall && reply->isRunning())
        stall->start();
}

void DlrServiceClient::proxyCredentials(const QNetworkProxy &proxy, QAuthenticator *authenticator)
{
    const QString where = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    // The toolkit asks again after credentials the proxy refused; an automatic answer would
    // otherwise be given for ever.
    constexpr int MaxQuestions = 3;
    if (++proxyQuestions > MaxQuestions) {
        qWarning() << "The proxy" << where << "refused the credentials" << MaxQuestions
                   << "times, not asking again";
        return;
    }
    DlrMessageBox::Spec box;
    box.id = QLatin1String(DlrBox::ProxyCredentials);
    box.icon = QMessageBox::Question;
    box.text = QStringLiteral("The proxy server %1 asks for a user name and password.").arg(where);
    if (proxyQuestions > 1)
        box.informativeText = QStringLiteral("It did not accept the ones given before.");
    box.buttons = QMessageBox::Ok | QMessageBox::Cancel;
    box.defaultButton = QMessageBox::Ok;
    QString password;
    proxyQuestionOpen = true;
    const bool given = DlrMessageBox::askCredentials(box, &proxyUser, &password) == QMessageBox::Ok;
    proxyQuestionOpen = false;
    if (given) {
        authenticator->setUser(proxyUser);
        authenticator->setPassword(password);
    }
}
