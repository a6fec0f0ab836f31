#pragma once

#include <QNetworkReply>
#include <QString>

// Byte counts and network error codes as the texts the user sees.
QString sizeText(qint64 bytes);
QString networkErrorText(QNetworkReply::NetworkError code);

// Why a download failed, for the failure box: the texts above, but a redirect that was not
// followed says why instead of "Unknown network error".
QString downloadErrorText(QNetworkReply::NetworkError code);
// A download whose digest is not the manifest's.
QString checksumMismatchText();
// A download the server sent in another size than the product list gives (the server's total,
// or the bytes that arrived), only part of (a range that stops before the end), or encoded.
QString downloadSizeText(qint64 serverBytes, qint64 listedBytes);
QString partialRangeText(qint64 first, qint64 last, qint64 total);
QString encodedDownloadText(const QByteArray &encoding);
// A write to the download folder that failed, with the system's own reason ("No space left on
// device").
QString writeFailedText(const QString &path, const QString &systemText);
