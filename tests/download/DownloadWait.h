#pragma once

#include "DlrApp.h"

#include <QSignalSpy>
#include <QtTest>

// Starts the download of a manifest index and waits for its one signal. Returns "" when the
// file was finished, the reason when it failed, and a text in angle brackets when the contract
// was broken: no start, no signal, two signals, or a signal for another index.
inline QString downloadAndWait(int index, int timeoutMs = 20000)
{
    QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
    QSignalSpy failed(dlrApp, &DlrApp::failedDownload);
    if (!dlrApp->DownloadProduct(index))
        return QStringLiteral("<not started>");
    if (!QTest::qWaitFor([&] { return finished.count() + failed.count() > 0; }, timeoutMs))
        return QStringLiteral("<no signal>");
    QTest::qWait(20); // nothing else may follow
    if (finished.count() + failed.count() != 1)
        return QStringLiteral("<more than one signal>");
    const QList<QVariant> arguments = finished.isEmpty() ? failed.first() : finished.first();
    if (arguments.last().toInt() != index)
        return QStringLiteral("<signal for another index>");
    return finished.isEmpty() ? arguments.first().toString() : QString();
}
