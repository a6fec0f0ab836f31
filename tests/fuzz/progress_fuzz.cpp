// libFuzzer target: any bytes as a stream of installer progress records (one per line), through
// the running count, the protocol line it yields, the page's reading of that line and the bar
// value it sets. Built outside the main build by run-fuzz.sh.

#include "DlrInstallerOutput.h"
#include "DlrProgressRecord.h"
#include "DlrQueueProgress.h"
#include "FuzzSupport.h"

#include <QByteArray>
#include <QList>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte places the product in a queue of 1 to 16.
    const int queueLength = 1 + (data[0] & 0x0F);
    const int position = (data[0] >> 4) % queueLength;
    const int step = DlrQueueProgress::step(queueLength);
    const QList<QByteArray> records
            = QByteArray(reinterpret_cast<const char *>(data) + 1, int(size - 1)).split('\n');

    DlrProgressRecord count;
    for (const QByteArray &record : records) {
        DlrProgressRecord::Fields fields;
        const bool readable = DlrProgressRecord::read(record.constData(), &fields);
        const QByteArray line = count.apply(record.constData());
        // Only a readable progress report on a phase with a total moves the count.
        fuzzCheck(line.isEmpty() || (readable && fields.type == 2 && count.total() != 0));
        if (line.isEmpty())
            continue;
        fuzzCheck(line.startsWith("installer:%"));
        // The page reads back the very percentage of the count.
        const DlrInstallerOutput out = DlrInstallerOutput::parse(line);
        fuzzCheck(out.hasPercent
                  && out.percent == float(count.done()) * 100 / float(count.total()));
        // Whatever the installer says, the bar stays in the product's install half.
        const int value = DlrQueueProgress::installValue(position, step, out.percent);
        fuzzCheck(value >= DlrQueueProgress::installStartValue(position, step)
                  && value <= DlrQueueProgress::doneValue(position, step));
    }
    return 0;
}
