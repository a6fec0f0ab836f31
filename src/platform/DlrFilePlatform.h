#pragma once

#include <QtGlobal>

// File work beyond the calls in DlrPlatform.h, for large files written as they arrive.
namespace DlrFilePlatform {

// Starts writing a range of an open file's bytes to disk and returns at once (Linux:
// sync_file_range with SYNC_FILE_RANGE_WRITE), so that the flush before the file's final name
// finds little left to write. Nothing on Windows, whose cache manager writes behind by itself.
void startWriteback(int fd, qint64 offset, qint64 length);

} // namespace DlrFilePlatform
