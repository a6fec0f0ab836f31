#pragma once

#include <QByteArray>

// The installer's progress records ("1: 2 2: 250 ") read at their fixed character places, and
// the running count they drive. Pure: no thread, no window, no installer; the worker feeds it
// each progress message and hands on the protocol line it returns.
class DlrProgressRecord
{
public:
    // The fields of one record as read; a field that the type does not carry stays 0.
    struct Fields
    {
        int type = 0;
        int field2 = 0;
        int field3 = 0;
        int field4 = 0;
    };

    // Reads a record. False (and fields unspecified) when any check fails: null or empty
    // text, a marker or a digit missing at its place, or a number that does not convert.
    static bool read(const char *message, Fields *fields);

    // The protocol line for a percentage: "installer:%" and the number in fixed notation with
    // the fewest digits that read back as the same float ("42.5", "0.00005", "100").
    static QByteArray progressLine(float percent);

    // Applies one record to the count. Returns the protocol line of a progress report that
    // moves the count, empty for every other record (and for malformed ones).
    QByteArray apply(const char *message);

    int total() const { return progressTotal; }
    int done() const { return progressDone; }
    bool forward() const { return forwardProgress; }
    bool script() const { return scriptInProgress; }
    int increment() const { return progressIncrement; }

private:
    int progressTotal = 0;
    int progressDone = 0;
    bool forwardProgress = false;
    bool scriptInProgress = false;
    int progressIncrement = 0;
    bool overrunLogged = false;
};
