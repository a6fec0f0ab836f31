#include "DlrTexts.h"

QString sizeText(qint64 bytes)
{
    constexpr qint64 KB = 1024;
    constexpr qint64 MB = KB * 1024;
    constexpr qint64 GB = MB * 1024;
    if (bytes < KB)
        return QString::number(bytes) + QLatin1Char('b');
    if (bytes < MB)
        return QStringLiteral("%1KB").arg(bytes * (1.0 / KB), 0, 'f', 3);
    if (bytes < GB)
        return QStringLiteral("%1MB").arg(bytes * (1.0 / MB), 0, 'f', 2);
    return QStringLiteral("%1GB").arg(bytes * (1.0 / GB), 0, 'f', 3);
}

QString networkErrorText(QNetworkReply::NetworkError code)
{
    switch (code) {
    case QNetworkReply::NoError:
        return QStringLiteral("no error condition.");
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral(
                "the remote server refused the connection (the server is not accepting requests)");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("the remote server closed the connection prematurely, before the "
                              "entire reply was received and processed");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("the remote host name was not found (DNS did not know the server)");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("the connection to the remote server timed out");
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("the operation was canceled via calls to abort() or close() before "
                              "it was finished.");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("the SSL/TLS handshake failed and the encrypted channel could not "
                              "be established. The sslErrors() signal should have been emitted.");
    case QNetworkReply::TemporaryNetworkFailureError:
        return QStringLiteral(
                "the connection was broken due to disconnection from the network, however the "
                "system has initiated roaming to another access point. The request should be "
                "resubmitted and will be processed as soon as the connection is re-established.");
    case QNetworkReply::UnknownNetworkError:
        return QStringLiteral("an unknown network-related error was detected");
    case QNetworkReply::ProxyConnectionRefusedError:
        return QStringLiteral("the connection to the proxy server was refused (the proxy server "
                              "is not accepting requests)");
    case QNetworkReply::ProxyConnectionClosedError:
        return QStringLiteral("the proxy server closed the connection prematurely, before the "
                              "entire reply was received and processed");
    case QNetworkReply::ProxyNotFoundError:
        return QStringLiteral("the proxy host name was not found (invalid proxy hostname)");
    case QNetworkReply::ProxyTimeoutError:
        return QStringLiteral("the connection to the proxy timed out or the proxy did not reply "
                              "in time to the request sent");
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return QStringLiteral("the proxy requires authentication in order to honour the request "
                              "but did not accept any credentials offered (if any)");
    case QNetworkReply::UnknownProxyError:
        return QStringLiteral("an unknown proxy-related error was detected");
    case QNetworkReply::ContentAccessDenied:
        return QStringLiteral(
                "the access to the remote content was denied (similar to HTTP error 401)");
    case QNetworkReply::ContentOperationNotPermittedError:
        return QStringLiteral("the operation requested on the remote content is not permitted");
    case QNetworkReply::ContentNotFoundError:
        return QStringLiteral(
                "the remote content was not found at the server (similar to HTTP error 404)");
    case QNetworkReply::AuthenticationRequiredError:
        return QStringLiteral("the remote server requires authentication to serve the content "
                              "but the credentials provided were not accepted (if any)");
    case QNetworkReply::ContentReSendError:
        return QStringLiteral("the request needed to be sent again, but this failed for example "
                              "because the upload data could not be read a second time");
    case QNetworkReply::UnknownContentError:
        return QStringLiteral("an unknown error related to the remote content was detected");
    case QNetworkReply::ProtocolUnknownError:
        return QStringLiteral("the Network Access API cannot honor the request because the "
                              "protocol is not known");
    case QNetworkReply::ProtocolInvalidOperationError:
        return QStringLiteral("the requested operation is invalid for this protocol");
    case QNetworkReply::ProtocolFailure:
        return QStringLiteral("a breakdown in protocol was detected (parsing error, invalid or "
                              "unexpected responses, etc.)");
    default:
        return QStringLiteral("Unknown network error ") + QString::number(int(code));
    }
}

QString downloadErrorText(QNetworkReply::NetworkError code)
{
    switch (code) {
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("Too many redirects");
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("Redirect from https to http refused");
    default:
        return networkErrorText(code);
    }
}

QString checksumMismatchText()
{
    return QStringLiteral("The downloaded file is damaged (checksum mismatch)");
}

QString downloadSizeText(qint64 serverBytes, qint64 listedBytes)
{
    return QStringLiteral("The server's file is %1 bytes, the product list gives %2")
            .arg(serverBytes)
            .arg(listedBytes);
}

QString partialRangeText(qint64 first, qint64 last, qint64 total)
{
    return QStringLiteral("The server sent only bytes %1-%2 of %3").arg(first).arg(last).arg(total);
}

QString encodedDownloadText(const QByteArray &encoding)
{
    return QStringLiteral("The server sent the file encoded (%1), not as it is")
            .arg(QString::fromLatin1(encoding));
}

QString writeFailedText(const QString &path, const QString &systemText)
{
    return QStringLiteral("Could not write %1: %2").arg(path, systemText);
}
