#pragma once

#include "DlrExitCode.h"
#include "DlrInstallQueue.h"
#include "DlrMirror.h"
#include "DlrUnattendedCertificates.h"
#include "DlrUnattendedOutput.h"
#include "DlrUnattendedProgress.h"
#include "DlrUnattendedReport.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <QHash>

#include <memory>

class DlrApp;
class DlrSources;

// The run without questions (-unattended, -list): no window and no box. It signs in with the
// configured user (or reads the manifest file it is given), surveys the machine, takes the
// automatic proposal adjusted by -select and -deselect, checks the disk space, then downloads
// and installs each product in turn. Every question the wizard would ask is answered through
// the message boxes' automatic answers, with a log line per decision; progress goes to standard
// output; the exit code says how it ended.
class DlrUnattended : public QObject
{
    Q_OBJECT

public:
    // Checks what can be wrong before anything runs (the arguments, the option values, the
    // report's path, the processor), then runs to the end in the application's event loop.
    // Returns the process exit code.
    static int start(DlrApp &app);

    // Downloads are tried this many times in all before the run stops.
    static constexpr int DownloadAttempts = 4;

private:
    explicit DlrUnattended(DlrApp &app);
    ~DlrUnattended() override;

    int run();
    void begin();
    // The product list: from the first source that answers, else from the maker.
    void requestList();
    void requestFromMaker();
    // Sources, the mirror and the rate cap, as the options ask.
    void setUpStudio();
    // After the last download of a -mirror run: the list goes in, old packages go out.
    void publishMirror();
    // Position in the download queue of a manifest index.
    int positionOf(int manifestIndex) const;
    void manifestArrived();
    void manifestRefused(const QString &reason);
    // False, having ended the run, when there is no folder of this user's own to download into.
    bool checkDownloadFolder();
    // What the queue does, reported and recorded.
    void stepReached(int manifestIndex, DlrInstallQueue::Step step);
    void attemptEnded(int manifestIndex, qint64 bytes, qint64 elapsedMs, const QString &failure);
    void installerEnded(int manifestIndex, int returnCode, qint64 elapsedMs);
    // The decision the run takes for each box the queue asks.
    void answer(const DlrMessageBox::Spec &box);
    void downloadFailed(const DlrMessageBox::Spec &box);
    void finish(DlrExitCode::Code code, const QString &message);
    void print(const QString &line) { output.print(line); }
    QString currentLabel() const;

    DlrApp &app;
    DlrInstallQueue *queue;
    DlrUnattendedOutput output;
    DlrUnattendedCertificates certificates;
    DlrUnattendedReport report;
    std::unique_ptr<DlrUnattendedProgress> progress;
    int queueLength = 0;
    QHash<int, QString> lastFailure; // of each product's last download attempt
    DlrSources *sources = nullptr;
    QString listSource;         // the source the list in hand came from; empty for the maker
    bool listReadAgain = false; // once, for a mirror caught between its two writes
    std::unique_ptr<DlrMirror> mirror;
    QElapsedTimer runTime;
    bool ended = false;
};
