#pragma once

#include <QString>
#include <QtGlobal>

// One log file per run, "tessinstaller.XXXXXX.txt" in the Downloads folder, written line by
// line and flushed after every line so it is complete even when the process is killed.

// Creates the run's log file and installs LogMessageHandler.
void InitLogFile();

// Qt message handler: prefix by type, message in the local 8-bit encoding, one flush per line.
// Safe to call from any thread.
void LogMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The path of the run's log file, empty when logging is off.
QString LogFilePath();
