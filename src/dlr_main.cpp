#include "DlrApp.h"

#if defined(_WIN32)
#define DLR_EXPORT __declspec(dllexport)
#else
#define DLR_EXPORT __attribute__((visibility("default")))
#endif

// The library's only exported symbol; the launcher returns its result as the exit code.
extern "C" DLR_EXPORT int dlr_main(int argc, char **argv)
{
    return DlrApp::Main(argc, argv);
}
