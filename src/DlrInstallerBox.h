#pragma once

#include "DlrMessageBox.h"

// The boxes the Windows Installer asks for through the installer's handler come as user32's box
// flags (the MB_* button, icon and default-button bits) and want user32's answers (ID*). This
// reads the flags into the catalogue's terms and turns the button pressed back into the answer,
// for the box shown on Linux, the log of the box shown on Windows and the automatic answer of a
// run without questions alike. Pure: no window, no thread of its own.
namespace DlrInstallerBox {
// The box of that caption ("FatalError", "Error", "Warning", or the installer's own), text and
// flags: the catalogue's id for the caption, the icon, the buttons and the default button.
DlrMessageBox::Spec spec(const QString &caption, const QString &text, unsigned int flags);
// user32's answer to a box of these flags; NoButton (closed without one) answers what Escape
// gives on Windows.
int answerCode(QMessageBox::StandardButton button, unsigned int flags);
// The button that a user32 answer stands for; NoButton for 0 (the box did not show) and others.
QMessageBox::StandardButton button(int answerCode);
} // namespace DlrInstallerBox
