#pragma once

#include "DlrApp.h"

#include <QtTest>

// Starts the download of a manifest index and waits for its one signal: "" when the file was
// finished, the reason when it failed, a text in angle brackets when the contract was broken.
inline QString downloadAndWait(int index, int timeoutMs = 20000)
{
    QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
    QSignalSpy failed(dlrApp, &DlrApp::failedDownload);
    if (!dlrApp->DownloadProduct(index))
        return "<not started>";
    if (!QTest::qWaitFor([&] { return finished.count() + failed.count() > 0; }, timeoutMs))
        return "<no signal>";
    QTest::qWait(20); // nothing else may follow
    const QList<QVariant> args = finished.isEmpty() ? failed.first() : finished.first();
    if (finished.count() + failed.count() != 1 || args.last().toInt() != index)
        return "<another signal>";
    return finished.isEmpty() ? args.first().toString() : QString();
}
