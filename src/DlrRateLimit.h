#pragma once

#include <QtGlobal>

// The cap on a run's download rate (-ratelimit): a token bucket that fills at the rate, holds
// a twentieth of a second's worth at most (so a pause is not made up by a burst), and is
// shared by every download of the run. Pure arithmetic: the caller supplies the clock.
class DlrRateLimit
{
public:
    explicit DlrRateLimit(qint64 bytesPerSecond);

    qint64 rate() const { return bytesPerSecond; }
    // How many of the wanted bytes may be taken at nowMs (any clock that does not go back).
    qint64 take(qint64 wanted, qint64 nowMs);
    // Milliseconds until a block of this size may be taken (at least 1).
    int waitMs(qint64 block) const;

private:
    void refill(qint64 nowMs);

    qint64 bytesPerSecond;
    double capacity;
    double tokens = 0;
    qint64 lastMs = -1;
};
