// Windows side of the platform layer's Windows Installer and user32 calls: straight through to
// msi.dll and user32 (the boxes logged on the way). Compiled only on Windows.
// <windows.h> comes first on purpose: the layer's header must not depend on include order.
#include <windows.h>

#include <msi.h>

#include "DlrInstallerBox.h"
#include "DlrPlatform.h"

#include <QDebug>

namespace DlrPlatform {

namespace {
// The layer's handler type carries no calling convention; msi.dll calls a WINAPI function,
// which hands the message on.
InstallUiHandler s_handler = nullptr;

INT WINAPI forwardUiMessage(LPVOID context, UINT messageType, LPCSTR message)
{
    return s_handler ? s_handler(context, messageType, message) : 0;
}

// Every box is logged with its text and the answer, as the boxes of the wizard are.
template<typename Show>
int loggedBox(const char *text, const char *caption, unsigned int type, Show show)
{
    const DlrMessageBox::Spec box
            = DlrInstallerBox::spec(QString::fromLocal8Bit(caption ? caption : "Error"),
                                    QString::fromLocal8Bit(text ? text : ""), type);
    DlrMessageBox::logShown(box);
    const int answer = show();
    if (answer == 0)
        qWarning() << "Message box" << box.id
                   << "could not be shown:" << errorText(::GetLastError());
    else
        DlrMessageBox::logAnswer(box.id, DlrInstallerBox::button(answer));
    return answer;
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
    return loggedBox(text, caption, type,
                     [&] { return ::MessageBoxA(nullptr, text, caption, type); });
}

int messageBoxExA(const char *text, const char *caption, unsigned int type, unsigned short language)
{
    return loggedBox(text, caption, type,
                     [&] { return ::MessageBoxExA(nullptr, text, caption, type, language); });
}

bool messageBeep(unsigned int type)
{
    return ::MessageBeep(type) != 0;
}

} // namespace DlrPlatform
