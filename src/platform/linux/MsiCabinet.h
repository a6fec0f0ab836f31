#pragma once

// One cabinet of a package, extracted file by file straight to disk (libgcab decompresses one
// block at a time, so nothing the size of the payload is held in memory). The extraction tells
// its caller, on the caller's thread, when each file begins and how many bytes are on disk.

#include <QHash>
#include <QString>

#include <functional>

typedef struct _GInputStream GInputStream;
typedef struct _GCabCabinet GCabCabinet;

namespace DlrPlatform {

class MsiCabinet
{
public:
    // Takes a reference to the stream.
    explicit MsiCabinet(GInputStream *stream);
    ~MsiCabinet();
    MsiCabinet(const MsiCabinet &) = delete;
    MsiCabinet &operator=(const MsiCabinet &) = delete;

    // Reads the cabinet's headers. False with a reason for anything that is not a cabinet.
    bool load(QString *reason);
    // Size of each file in the cabinet, by its name in the cabinet.
    QHash<QString, qint64> fileSizes() const;

    enum class Failure { None, Corrupt, Write, Cancelled };

    struct Hooks
    {
        // Where a file goes, relative to the output folder; empty to leave it out.
        std::function<QString(const QString &name)> extractName;
        // A file is about to be written.
        std::function<void(const QString &name)> fileStarts;
        // Called now and then while data is read; false cancels the extraction.
        std::function<bool()> poll;
    };

    // Extracts into folder. Corrupt: the cabinet's data is unusable; Write: a file could not
    // be written (full disk, no permission); Cancelled: poll said so.
    Failure extract(const QString &folder, const Hooks &hooks, QString *reason);

private:
    GInputStream *source = nullptr;  // what the package gave
    GInputStream *counted = nullptr; // source seen through the polling stream
    GCabCabinet *cabinet = nullptr;
};

} // namespace DlrPlatform
