#include "DlrInstallerBox.h"

#include "DlrPlatform.h"

#include <QDebug>

namespace {
using namespace DlrPlatform;

// The buttons of a box type in the order Windows places them (MB_DEFBUTTONn counts in it).
QList<QMessageBox::StandardButton> buttonOrderFor(unsigned int flags)
{
    switch (flags & BoxTypeMask) {
    case BoxOk:
        return {QMessageBox::Ok};
    case BoxOkCancel:
        return {QMessageBox::Ok, QMessageBox::Cancel};
    case BoxAbortRetryIgnore:
        return {QMessageBox::Abort, QMessageBox::Retry, QMessageBox::Ignore};
    case BoxYesNoCancel:
        return {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel};
    case BoxYesNo:
        return {QMessageBox::Yes, QMessageBox::No};
    case BoxRetryCancel:
        return {QMessageBox::Retry, QMessageBox::Cancel};
    default:
        qDebug() << "Message box type" << (flags & BoxTypeMask) << "shown with Ok only";
        return {QMessageBox::Ok};
    }
}

QMessageBox::StandardButtons buttonsFor(unsigned int flags)
{
    QMessageBox::StandardButtons buttons;
    for (QMessageBox::StandardButton button : buttonOrderFor(flags))
        buttons |= button;
    return buttons;
}

QMessageBox::Icon iconFor(unsigned int flags)
{
    switch (flags & BoxIconMask) {
    case BoxIconError:
        return QMessageBox::Critical;
    case BoxIconQuestion:
        return QMessageBox::Question;
    case BoxIconWarning:
        return QMessageBox::Warning;
    case BoxIconInformation:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

const QList<QPair<QMessageBox::StandardButton, int>> &answers()
{
    static const QList<QPair<QMessageBox::StandardButton, int>> pairs
            = {{QMessageBox::Ok, AnswerOk},         {QMessageBox::Cancel, AnswerCancel},
               {QMessageBox::Abort, AnswerAbort},   {QMessageBox::Retry, AnswerRetry},
               {QMessageBox::Ignore, AnswerIgnore}, {QMessageBox::Yes, AnswerYes},
               {QMessageBox::No, AnswerNo}};
    return pairs;
}
} // namespace

DlrMessageBox::Spec
DlrInstallerBox::spec(const QString &caption, const QString &text, unsigned int flags)
{
    DlrMessageBox::Spec spec;
    spec.id = QLatin1String(DlrBox::installerBoxId(caption));
    spec.title = caption;
    spec.icon = iconFor(flags);
    spec.text = text;
    spec.buttons = buttonsFor(flags);
    const QList<QMessageBox::StandardButton> order = buttonOrderFor(flags);
    const int defaultIndex = static_cast<int>((flags & BoxDefaultMask) >> 8);
    spec.defaultButton = order.value(defaultIndex, order.first());
    return spec;
}

int DlrInstallerBox::answerCode(QMessageBox::StandardButton button, unsigned int flags)
{
    for (const auto &[known, code] : answers()) {
        if (known == button)
            return code;
    }
    const QMessageBox::StandardButtons buttons = buttonsFor(flags);
    if (buttons & QMessageBox::Cancel)
        return AnswerCancel;
    if (buttons & QMessageBox::Abort)
        return AnswerAbort;
    if (buttons & QMessageBox::No)
        return AnswerNo;
    return AnswerOk;
}

QMessageBox::StandardButton DlrInstallerBox::button(int answerCode)
{
    for (const auto &[known, code] : answers()) {
        if (code == answerCode)
            return known;
    }
    return QMessageBox::NoButton;
}
