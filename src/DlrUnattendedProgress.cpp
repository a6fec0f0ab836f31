#include "DlrUnattendedProgress.h"

#include "DlrQueueProgress.h"

DlrUnattendedProgress::DlrUnattendedProgress(int queueLength, Clock clock)
    : progressStep(DlrQueueProgress::step(queueLength))
    , lastPosition(queueLength - 1)
    , clock(std::move(clock))
{}

QString DlrUnattendedProgress::bytesText(qint64 bytes)
{
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    // Two or three figures are enough to follow a download; bytes are never fractional.
    const int decimals = (unit > 0 && value < 10.0) ? 1 : 0;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', decimals).arg(QLatin1String(units[unit]));
}

QString DlrUnattendedProgress::line(int permille, const QString &text)
{
    lastLineAt = clock();
    anyLine = true;
    return QStringLiteral("[%1%] %2").arg(permille / 10, 3).arg(text);
}

bool DlrUnattendedProgress::due() const
{
    return !anyLine || clock() - lastLineAt >= IntervalMs;
}

QString DlrUnattendedProgress::downloadStarts(int position, const QString &label)
{
    const QString text = line(DlrQueueProgress::requestValue(position, progressStep),
                              QStringLiteral("Downloading ") + label);
    speedFromBytes = -1; // the first report: a resumed download starts with bytes on disk
    speedFromTime = lastLineAt;
    return text;
}

QString DlrUnattendedProgress::installStarts(int position, const QString &label)
{
    return line(DlrQueueProgress::installStartValue(position, progressStep),
                QStringLiteral("Installing ") + label);
}

QString DlrUnattendedProgress::step(int position, Stage stage, const QString &text)
{
    const int value = stage == Stage::Start ? DlrQueueProgress::requestValue(position, progressStep)
                      : stage == Stage::Downloaded
                              ? DlrQueueProgress::installStartValue(position, progressStep)
                      : position == lastPosition
                              ? DlrQueueProgress::ProgressMaximum
                              : DlrQueueProgress::doneValue(position, progressStep);
    return line(value, text);
}

QString DlrUnattendedProgress::downloadProgress(int position,
                                                const QString &label,
                                                qint64 received,
                                                qint64 total)
{
    if (speedFromBytes < 0)
        speedFromBytes = received;
    if (!due())
        return QString();
    const qint64 now = clock();
    QString text = QStringLiteral("Downloading %1  %2").arg(label, bytesText(received));
    if (total > 0)
        text += QLatin1Char('/') + bytesText(total);
    if (now > speedFromTime && received >= speedFromBytes)
        text += QStringLiteral("  %1/s").arg(
                bytesText((received - speedFromBytes) * 1000 / (now - speedFromTime)));
    speedFromBytes = received;
    speedFromTime = now;
    return line(DlrQueueProgress::downloadValue(position, progressStep, received, total), text);
}

QString DlrUnattendedProgress::installProgress(int position, const QString &label, float percent)
{
    if (!due())
        return QString();
    return line(DlrQueueProgress::installValue(position, progressStep, percent),
                QStringLiteral("Installing %1  %2%").arg(label).arg(int(percent)));
}
