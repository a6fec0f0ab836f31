#pragma once

#include <QString>
#include <QtGlobal>

#include <deque>

// The speed of a transfer and the time it has left, smoothed over the last few seconds so the
// line under the byte counts reads steadily. Fed with the same byte counts as the page's
// progress; pure arithmetic, so the caller supplies the clock.
class DlrTransferRate
{
public:
    explicit DlrTransferRate(qint64 windowMs = 5000);

    // A new transfer (or one that starts over) forgets what came before.
    void reset();
    // Bytes received so far and the whole size (0 or less when unknown) at elapsed ms on any
    // clock that does not go back. Fewer bytes than before means the transfer started over.
    void addSample(qint64 elapsedMs, qint64 bytesReceived, qint64 bytesTotal);

    // Bytes per second over the window; negative until a second's worth of samples is in.
    double bytesPerSecond() const;
    // Whole seconds left at that speed; negative when unknown (no speed, none moving, no total).
    qint64 secondsLeft() const;
    // "12.4 MB/s, about 8 s left", the speed alone when the time left is unknown, empty when
    // the speed is.
    QString text() const;

    static QString speedText(double bytesPerSecond);
    static QString timeLeftText(qint64 seconds);

private:
    struct Sample
    {
        qint64 ms;
        qint64 bytes;
    };
    qint64 windowMs;
    std::deque<Sample> samples; // oldest first, at least 100 ms apart, the newest last
    qint64 total = 0;
};
