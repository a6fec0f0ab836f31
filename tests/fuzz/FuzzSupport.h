// Shared by the fuzz targets: no log output; a failed property ends the run as a crash.
#pragma once

#include <QtGlobal>

#include <cstdlib>

inline void fuzzCheck(bool condition)
{
    if (!condition)
        std::abort();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}
