#pragma once

#include <QNetworkReply>
#include <QString>

// Byte counts and network error codes as the texts the user sees.
QString sizeText(qint64 bytes);
QString networkErrorText(QNetworkReply::NetworkError code);
