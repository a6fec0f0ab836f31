#include "DlrFilePlatform.h"

#include <fcntl.h>

namespace DlrFilePlatform {

void startWriteback(int fd, qint64 offset, qint64 length)
{
    // Only a hint: where it fails, the final flush writes the bytes all the same.
    if (fd >= 0 && length > 0)
        ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

} // namespace DlrFilePlatform
