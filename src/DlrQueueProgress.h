#pragma once

#include <QtGlobal>

// The download page's one progress bar over the whole queue. The bar runs from 0 to
// ProgressMaximum; each of the n products owns a span of step = ProgressMaximum / n units
// (integer division, so three products end at 999), the first half for its download and the
// second half for its install. Fractions are computed in single precision and truncated.
namespace DlrQueueProgress {

constexpr int ProgressMaximum = 1000;

// Units per product; 0 for an empty queue.
int step(int queueLength);
// When product p's download is requested, and when it is done with.
int requestValue(int position, int step);
int doneValue(int position, int step);
// During product p's download. A total of 0 or less (unknown) keeps the bar at the start of
// the span; received bytes beyond the total keep it at the end of the download half.
int downloadValue(int position, int step, qint64 bytesReceived, qint64 bytesTotal);
// When product p's installer is launched, and as it reports a percentage (clamped to 0..100
// so a confused installer cannot push the bar out of the product's span).
int installStartValue(int position, int step);
int installValue(int position, int step, float percent);

} // namespace DlrQueueProgress
