#include "DlrTransferRate.h"

#include <cmath>

namespace {
// Units as the page's byte counts have them (sizeText): KB is 1024 bytes.
constexpr double KB = 1024.0;
constexpr double MB = KB * 1024;
constexpr double GB = MB * 1024;
// Below this span the first fast or slow moments would make the line jump.
constexpr qint64 MinimumSpanMs = 1000;
// Samples kept closer than this only make the list long; the newest is always kept.
constexpr qint64 SampleSpacingMs = 100;
} // namespace

DlrTransferRate::DlrTransferRate(qint64 windowMs)
    : windowMs(windowMs)
{}

void DlrTransferRate::reset()
{
    samples.clear();
    total = 0;
}

void DlrTransferRate::addSample(qint64 elapsedMs, qint64 bytesReceived, qint64 bytesTotal)
{
    if (!samples.empty() && (bytesReceived < samples.back().bytes || elapsedMs < samples.back().ms))
        reset();
    total = bytesTotal;
    // The newest sample replaces the previous one when that one came too soon after its own
    // predecessor.
    if (samples.size() >= 2 && samples.back().ms - samples[samples.size() - 2].ms < SampleSpacingMs)
        samples.back() = Sample{elapsedMs, bytesReceived};
    else
        samples.push_back(Sample{elapsedMs, bytesReceived});
    // Keep the newest sample that is at least a window old, so the span covers the window.
    while (samples.size() > 2 && elapsedMs - samples[1].ms >= windowMs)
        samples.pop_front();
}

double DlrTransferRate::bytesPerSecond() const
{
    if (samples.size() < 2)
        return -1;
    const qint64 span = samples.back().ms - samples.front().ms;
    if (span < MinimumSpanMs)
        return -1;
    return double(samples.back().bytes - samples.front().bytes) * 1000.0 / double(span);
}

qint64 DlrTransferRate::secondsLeft() const
{
    const double speed = bytesPerSecond();
    if (speed <= 0 || total <= 0)
        return -1;
    const qint64 left = qMax<qint64>(0, total - samples.back().bytes);
    return qint64(std::ceil(double(left) / speed));
}

QString DlrTransferRate::text() const
{
    const double speed = bytesPerSecond();
    if (speed < 0)
        return QString();
    const qint64 seconds = secondsLeft();
    if (seconds < 0)
        return speedText(speed);
    return speedText(speed) + QStringLiteral(", ") + timeLeftText(seconds);
}

QString DlrTransferRate::speedText(double bytesPerSecond)
{
    if (bytesPerSecond >= GB)
        return QStringLiteral("%1 GB/s").arg(bytesPerSecond / GB, 0, 'f', 1);
    if (bytesPerSecond >= MB)
        return QStringLiteral("%1 MB/s").arg(bytesPerSecond / MB, 0, 'f', 1);
    // A figure below ten keeps its decimal, so a slow line still shows movement.
    const double kb = bytesPerSecond / KB;
    return QStringLiteral("%1 KB/s").arg(kb, 0, 'f', kb < 9.95 ? 1 : 0);
}

QString DlrTransferRate::timeLeftText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("about %1 s left").arg(qMax<qint64>(1, seconds));
    const qint64 minutes = (seconds + 30) / 60;
    if (minutes < 60)
        return QStringLiteral("about %1 min left").arg(minutes);
    return QStringLiteral("about %1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}
