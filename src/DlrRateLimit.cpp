#include "DlrRateLimit.h"

#include <algorithm>
#include <cmath>

DlrRateLimit::DlrRateLimit(qint64 bytesPerSecond)
    : bytesPerSecond(std::max<qint64>(1, bytesPerSecond))
    , capacity(std::max(16.0 * 1024, double(this->bytesPerSecond) / 20))
{}

void DlrRateLimit::refill(qint64 nowMs)
{
    if (lastMs >= 0 && nowMs > lastMs)
        tokens = std::min(capacity,
                          tokens + double(nowMs - lastMs) * double(bytesPerSecond) / 1000);
    if (nowMs > lastMs)
        lastMs = nowMs;
}

qint64 DlrRateLimit::take(qint64 wanted, qint64 nowMs)
{
    refill(nowMs);
    const qint64 granted = std::min<qint64>(wanted, qint64(tokens));
    tokens -= double(granted);
    return std::max<qint64>(0, granted);
}

int DlrRateLimit::waitMs(qint64 block) const
{
    const double missing = std::min(double(block), capacity) - tokens;
    return std::max(1, int(std::ceil(missing * 1000 / double(bytesPerSecond))));
}
