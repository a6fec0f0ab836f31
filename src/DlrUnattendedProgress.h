#pragma once

#include <QString>

#include <functional>

// The lines a run without questions prints on standard output, written for a deployment tool's
// log: one line for every step, and progress lines at most once a second. Each line starts with
// the whole run's percentage, from the same arithmetic as the download page's bar:
//   [ 37%] Downloading Tessaline Workserver 25.1  412 MB/1.2 GB  38 MB/s
// The lines are returned, not printed; an empty text means "nothing to print now". The clock
// (milliseconds) is given so the once-a-second rule can be tried without waiting.
class DlrUnattendedProgress
{
public:
    using Clock = std::function<qint64()>;

    DlrUnattendedProgress(int queueLength, Clock clock);

    // Always a line.
    QString downloadStarts(int position, const QString &label);
    QString installStarts(int position, const QString &label);
    // Where in a product's span a step line stands: its start, the end of its download half,
    // its end.
    enum class Stage { Start, Downloaded, Done };
    // A line for any other step of product position (done, failed, retried, ...). The end of
    // the last product reads 100 %, whatever the division of the bar left over.
    QString step(int position, Stage stage, const QString &text);
    // A line only when a second has passed since the last line.
    QString downloadProgress(int position, const QString &label, qint64 received, qint64 total);
    QString installProgress(int position, const QString &label, float percent);

    // Byte counts as an administrator reads them: "412 MB", "1.2 GB", "512 B".
    static QString bytesText(qint64 bytes);

    // Shortest time between two progress lines.
    static constexpr qint64 IntervalMs = 1000;

private:
    QString line(int permille, const QString &text);
    bool due() const;

    int progressStep = 0;
    int lastPosition = 0;
    Clock clock;
    qint64 lastLineAt = 0;
    bool anyLine = false;
    // The speed is the bytes moved between two printed progress lines over the time between.
    qint64 speedFromBytes = 0;
    qint64 speedFromTime = 0;
};
