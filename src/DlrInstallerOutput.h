#pragma once

#include <QByteArray>
#include <QString>

// One message of the installer output protocol, as the download page reads it: a progress
// message ("installer:%" and a percentage) moves the bar, anything else is a status line.
struct DlrInstallerOutput
{
    QString text; // the message as logged: ASCII only, trimmed, cut at a NUL byte
    bool hasPercent = false;
    float percent = 0.0f; // 0 when the digits do not convert
    QString status;       // text without the "installer:", "PHASE:" and "STATUS:" markers

    static DlrInstallerOutput parse(const QByteArray &raw);
};
