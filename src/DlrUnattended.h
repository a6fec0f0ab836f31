#pragma once

#include "DlrExitCode.h"
#include "DlrInstallQueue.h"
#include "DlrUnattendedPlan.h"
#include "DlrUnattendedProgress.h"
#include "DlrUnattendedReport.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>

#include <memory>

class DlrApp;
class QNetworkReply;

// The run without questions (-unattended, -list): no window and no box. It signs in with the
// configured user, surveys the machine, takes the automatic proposal adjusted by -select and
// -deselect, checks the disk space, then downloads and installs each product in turn. Every
// question the wizard would ask is answered through the message boxes' automatic answers, with
// a log line per decision; progress goes to standard output; the exit code says how it ended.
class DlrUnattended : public QObject
{
    Q_OBJECT

public:
    explicit DlrUnattended(DlrApp &app);
    ~DlrUnattended() override;

    // Runs to the end (in the application's event loop) and returns the process exit code.
    int run();

    // Ends a run that cannot start (a bad option, an unfit processor): the message on standard
    // error, the report when one was asked for. Returns code.
    static int refuse(const DlrApp &app, DlrExitCode::Code code, const QString &message);

    // Downloads are tried this many times in all before the run stops.
    static constexpr int DownloadAttempts = 4;

private:
    void begin();
    void manifestArrived();
    void manifestRefused(const QString &reason);
    // What the queue does, reported and recorded.
    void stepReached(int manifestIndex, DlrInstallQueue::Step step);
    void attemptEnded(int manifestIndex, qint64 bytes, qint64 elapsedMs, const QString &failure);
    void installerEnded(int manifestIndex, int returnCode, qint64 elapsedMs);
    // The decision the run takes for each box the queue asks.
    void answer(const DlrMessageBox::Spec &box);
    void downloadFailed(const DlrMessageBox::Spec &box);
    void certificateQuestion(QNetworkReply *reply, const QList<QSslError> &errors);
    void watchCertificates();
    void finish(DlrExitCode::Code code, const QString &message);
    void print(const QString &line);
    QString currentLabel() const;
    QString ledgerPath() const;
    // What earlier runs without questions installed here: product name to build id.
    QJsonObject ledger() const;

    DlrApp &app;
    DlrInstallQueue *queue;
    DlrUnattendedReport report;
    std::unique_ptr<DlrUnattendedProgress> progress;
    int queueLength = 0;
    QString lastFailure;
    QElapsedTimer runTime;
    bool certificateRefused = false;
    bool ended = false;
};
