#include "DlrFilePlatform.h"

namespace DlrFilePlatform {

void startWriteback(int, qint64, qint64) {}

} // namespace DlrFilePlatform
