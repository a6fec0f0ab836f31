#include "DlrProgressRecord.h"

#include <QDebug>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
bool isDigitAt(const char *text, size_t length, size_t pos)
{
    return pos < length && std::isdigit(static_cast<unsigned char>(text[pos]));
}

bool isCharAt(const char *text, size_t length, size_t pos, char c)
{
    return pos < length && text[pos] == c;
}

// The number starting at pos (a digit there has been checked); end is set just after it. One
// too large for an int reads as the largest int, as it does where long has 32 bits and strtol
// saturates, instead of wrapping round to a negative count.
bool readNumber(const char *text, size_t pos, int *value, size_t *end)
{
    char *stop = nullptr;
    const long number = std::strtol(text + pos, &stop, 10);
    if (stop == text + pos)
        return false;
    *value = static_cast<int>(std::min<long>(number, std::numeric_limits<int>::max()));
    *end = static_cast<size_t>(stop - text);
    return true;
}

// A field after the one that ended at e: its number at e + 1, the value at e + 4.
bool readFollowingField(const char *text, size_t length, char number, size_t *e, int *value)
{
    if (!isCharAt(text, length, *e + 1, number) || !isDigitAt(text, length, *e + 4))
        return false;
    return readNumber(text, *e + 4, value, e);
}
} // namespace

bool DlrProgressRecord::read(const char *message, Fields *fields)
{
    if (!message || !*message)
        return false;
    const size_t length = std::strlen(message);
    if (!isCharAt(message, length, 0, '1') || !isDigitAt(message, length, 3))
        return false;
    fields->type = message[3] - '0';
    if (!isCharAt(message, length, 5, '2') || !isDigitAt(message, length, 8))
        return false;
    size_t e = 0;
    if (!readNumber(message, 8, &fields->field2, &e))
        return false;
    if (fields->type == 2 || fields->type == 3)
        return true;
    if (!readFollowingField(message, length, '3', &e, &fields->field3))
        return false;
    if (fields->type == 0)
        return readFollowingField(message, length, '4', &e, &fields->field4);
    return true;
}

QByteArray DlrProgressRecord::progressLine(float percent)
{
    // Fixed notation, shortest digits that read back as the same float: a sliver of a large
    // phase comes out as "0.00005", never as "5e-05" (which a reader of "installer:%([0-9.]+)"
    // would take for 5 percent).
    char digits[64];
    const std::to_chars_result written
            = std::to_chars(digits, digits + sizeof digits, percent, std::chars_format::fixed);
    return QByteArray("installer:%") + QByteArray(digits, int(written.ptr - digits));
}

QByteArray DlrProgressRecord::apply(const char *message)
{
    Fields f;
    if (!read(message, &f))
        return QByteArray();

    switch (f.type) {
    case 0:
        progressTotal = f.field2;
        forwardProgress = (f.field3 == 0);
        progressDone = forwardProgress ? 0 : progressTotal;
        overrunLogged = false;
        qDebug() << (forwardProgress ? "Forward progress. Total set to "
                                     : "Reverse progress. Total set to ")
                 << progressTotal;
        scriptInProgress = (f.field4 == 1);
        qDebug() << "script in progress " << (scriptInProgress ? "true" : "false");
        return QByteArray();
    case 1:
        if (f.field3 == 0)
            return QByteArray();
        progressIncrement = forwardProgress ? f.field2 : -f.field2;
        qDebug() << "Progress increment set to " << progressIncrement;
        return QByteArray();
    case 2: {
        if (progressTotal == 0 || f.field2 == 0)
            return QByteArray();
        // The count stays within the phase: an installer may report more ticks than its reset
        // announced (Wine's reports every file's bytes twice against a total that counts
        // them once), and the bar must neither pass its end nor overflow.
        const qint64 moved = qint64(progressDone) + (forwardProgress ? f.field2 : -f.field2);
        if ((moved > progressTotal || moved < 0) && !overrunLogged) {
            overrunLogged = true;
            qDebug() << "Progress reported beyond the total of" << progressTotal
                     << "ticks; the bar holds at the end of the phase";
        }
        progressDone = int(qBound<qint64>(0, moved, progressTotal));
        const float percent
                = (static_cast<float>(progressDone) * 100) / static_cast<float>(progressTotal);
        return progressLine(percent);
    }
    default:
        return QByteArray();
    }
}
