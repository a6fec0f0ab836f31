#include "DlrInstallQueue.h"

#include "DlrApp.h"

#include <QDebug>
#include <QTimer>

#include <utility>

// Downloads ahead of the install (runs without questions only): while a product installs, the
// next ones download one at a time; each ending is kept for its product's turn.

void DlrInstallQueue::startAhead()
{
    if (aheadLimit <= 0 || stopped || aheadPosition >= 0 || currentStage == Stage::Downloading)
        return;
    const int last = qMin(queuePosition + aheadLimit, queueLength() - 1);
    for (int position = queuePosition + 1; position <= last; ++position) {
        const int index = indexAt(position);
        if (index < 0 || index >= app->manifestList().size() || aheadResults.contains(position)
            || app->manifestList().at(index).downloaded)
            continue;
        aheadBytes = 0;
        aheadClock.start();
        if (!app->DownloadProduct(index)) {
            aheadResults.insert(position, QStringLiteral("The download could not start"));
            continue;
        }
        qDebug() << "Downloading ahead of the install:" << index;
        aheadPosition = position;
        Q_EMIT stepReached(index, Step::Downloading);
        return;
    }
}

bool DlrInstallQueue::aheadEnded(int manifestIndex, const QString &failure)
{
    if (aheadPosition < 0 || indexAt(aheadPosition) != manifestIndex)
        return false;
    aheadResults.insert(aheadPosition, failure);
    aheadPosition = -1;
    Q_EMIT downloadAttemptEnded(manifestIndex, aheadBytes, aheadClock.elapsed(), failure);
    if (stopped)
        return true;
    if (std::exchange(waitingForAhead, false))
        QTimer::singleShot(1, this, &DlrInstallQueue::requestNextDownload);
    else if (installerProcess)
        startAhead();
    return true;
}
