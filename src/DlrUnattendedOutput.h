#pragma once

#include "DlrExitCode.h"

#include <QElapsedTimer>
#include <QString>

class DlrUnattendedReport;

// What a run without questions tells the administrator: a line on standard output (and in the
// log) for each step, and at its end the report (-report FILE), written whatever the outcome,
// and a last line with the exit code and its name.
class DlrUnattendedOutput
{
public:
    explicit DlrUnattendedOutput(const QString &reportFile);

    // One line on standard output, flushed at once; nothing for an empty text. The log's copy
    // carries the time since the run began ("Unattended: +12.345 s Installing ..."), so what
    // ran at the same time can be read from it.
    void print(const QString &line);
    // Records the outcome in the report, writes it and prints the last line. Returns code.
    DlrExitCode::Code
    end(DlrUnattendedReport &report, DlrExitCode::Code code, const QString &message);

    // The name the report gives an exit code ("ServiceUnreachable").
    static QString exitName(DlrExitCode::Code code);

private:
    QString reportFile;
    QElapsedTimer clock;
};
