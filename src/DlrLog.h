#pragma once

#include <QString>
#include <QtGlobal>

// One log file per run, "tessinstaller.XXXXXX.txt" in the Downloads folder, written line by
// line and flushed after every line so it is complete even when the process is killed.

// Holds the messages logged from now until InitLogFile (the toolkit warns while the
// application object is made, before anyone knows whether a window will show).
void HoldEarlyMessages();
// Hands the held messages, and those that follow until InitLogFile, to the toolkit's own
// output (standard error), as a run with a window has them.
void ReleaseHeldMessages();

// Creates the run's log file, writes what is still held into it and installs
// LogMessageHandler.
void InitLogFile();

// Qt message handler: prefix by type, message in the local 8-bit encoding, one flush per line.
// Every line of a message carries the prefix. Safe to call from any thread.
void LogMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The path of the run's log file, empty when logging is off.
QString LogFilePath();
