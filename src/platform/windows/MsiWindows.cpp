// Windows side of the platform layer's Windows Installer and user32 calls: straight through to
// msi.dll and user32. Compiled only on Windows.
// <windows.h> comes first on purpose: the layer's header must not depend on include order.
#include <windows.h>

#include <msi.h>

#include "DlrPlatform.h"

namespace DlrPlatform {

namespace {
// The layer's handler type carries no calling convention; msi.dll calls a WINAPI function,
// which hands the message on.
InstallUiHandler s_handler = nullptr;

INT WINAPI forwardUiMessage(LPVOID context, UINT messageType, LPCSTR message)
{
    return s_handler ? s_handler(context, messageType, message) : 0;
}
} // namespace

int msiSetInternalUI(int level, void **window)
{
    return static_cast<int>(::MsiSetInternalUI(static_cast<INSTALLUILEVEL>(level),
                                               reinterpret_cast<HWND *>(window)));
}

InstallUiHandler msiSetExternalUIA(InstallUiHandler handler, unsigned int filter, void *context)
{
    const InstallUiHandler previous = s_handler;
    s_handler = handler;
    ::MsiSetExternalUIA(handler ? forwardUiMessage : nullptr, filter, context);
    return previous;
}

unsigned int msiInstallProductA(const char *packagePath, const char *commandLine)
{
    return ::MsiInstallProductA(packagePath, commandLine);
}

int messageBoxA(const char *text, const char *caption, unsigned int type)
{
    return ::MessageBoxA(nullptr, text, caption, type);
}

int messageBoxExA(const char *text, const char *caption, unsigned int type, unsigned short language)
{
    return ::MessageBoxExA(nullptr, text, caption, type, language);
}

bool messageBeep(unsigned int type)
{
    return ::MessageBeep(type) != 0;
}

} // namespace DlrPlatform
