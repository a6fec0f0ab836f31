#include "DlrInstallerOutput.h"

#include <QRegularExpression>

#include <charconv>

DlrInstallerOutput DlrInstallerOutput::parse(const QByteArray &raw)
{
    QByteArray ascii;
    ascii.reserve(raw.size());
    for (char c : raw) {
        if (static_cast<unsigned char>(c) < 0x80)
            ascii.append(c);
    }
    ascii = ascii.trimmed();
    const int nul = ascii.indexOf('\0');
    if (nul >= 0)
        ascii.truncate(nul);

    DlrInstallerOutput out;
    out.text = QString::fromLatin1(ascii);

    static const QRegularExpression progress(QStringLiteral("installer:%([0-9.]+)"));
    const QRegularExpressionMatch match = progress.match(out.text);
    if (match.hasMatch()) {
        // Read straight to a float, as the worker wrote it: no detour through a double that
        // could round a shortest form to the neighbouring float.
        out.hasPercent = true;
        const QByteArray digits = match.captured(1).toLatin1();
        const char *end = digits.constData() + digits.size();
        const std::from_chars_result read
                = std::from_chars(digits.constData(), end, out.percent, std::chars_format::fixed);
        if (read.ec != std::errc() || read.ptr != end)
            out.percent = 0.0f;
    }

    out.status = out.text;
    for (const char *marker : {"installer:", "PHASE:", "STATUS:"})
        out.status.remove(QLatin1String(marker));
    out.status = out.status.trimmed(); // "PHASE: Copying files" shows without the blank
    return out;
}
