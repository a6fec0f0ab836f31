#include "DlrQueueProgress.h"

namespace DlrQueueProgress {

int step(int queueLength)
{
    return queueLength > 0 ? ProgressMaximum / queueLength : 0;
}

int requestValue(int position, int step)
{
    return position * step;
}

int doneValue(int position, int step)
{
    return (position + 1) * step;
}

int downloadValue(int position, int step, qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal <= 0)
        return requestValue(position, step);
    float fraction = float(bytesReceived) / float(bytesTotal);
    if (fraction > 1.0f)
        fraction = 1.0f;
    if (fraction < 0.0f)
        fraction = 0.0f;
    return int(float(position * step) + fraction * float(step / 2));
}

int installStartValue(int position, int step)
{
    return position * step + step / 2;
}

int installValue(int position, int step, float percent)
{
    if (percent > 100.0f)
        percent = 100.0f;
    if (!(percent >= 0.0f)) // also catches NaN
        percent = 0.0f;
    return int(float(installStartValue(position, step)) + (percent / 100.0f) * float(step / 2));
}

} // namespace DlrQueueProgress
