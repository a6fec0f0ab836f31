// Linux side of the platform layer's user32 message boxes. The installer calls them on its
// worker thread; a QMessageBox can only live on the user-interface thread, so the box is
// shown there through a blocking queued call and the worker waits for the answer, as it
// would inside MessageBoxA.
#include "DlrPlatform.h"

#include "DlrMessageBox.h"

#include <QApplication>
#include <QDebug>
#include <QHash>
#include <QThread>

namespace DlrPlatform {

namespace {
// The buttons of a box type in the order Windows places them (MB_DEFBUTTONn counts in it).
QList<QMessageBox::StandardButton> buttonOrderFor(unsigned int type)
{
    switch (type & BoxTypeMask) {
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
        qDebug() << "Message box type" << (type & BoxTypeMask) << "shown with Ok only";
        return {QMessageBox::Ok};
    }
}

QMessageBox::StandardButtons buttonsFor(unsigned int type)
{
    QMessageBox::StandardButtons buttons;
    for (QMessageBox::StandardButton button : buttonOrderFor(type))
        buttons |= button;
    return buttons;
}

QMessageBox::Icon iconFor(unsigned int type)
{
    switch (type & BoxIconMask) {
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

int answerFor(QMessageBox::StandardButton button, unsigned int type)
{
    static const QHash<int, int> answers
            = {{QMessageBox::Ok, AnswerOk},         {QMessageBox::Cancel, AnswerCancel},
               {QMessageBox::Abort, AnswerAbort},   {QMessageBox::Retry, AnswerRetry},
               {QMessageBox::Ignore, AnswerIgnore}, {QMessageBox::Yes, AnswerYes},
               {QMessageBox::No, AnswerNo}};
    const auto found = answers.constFind(button);
    if (found != answers.constEnd())
        return found.value();
    // Closed without a button: what Escape gives on Windows.
    const QMessageBox::StandardButtons buttons = buttonsFor(type);
    if (buttons & QMessageBox::Cancel)
        return AnswerCancel;
    if (buttons & QMessageBox::Abort)
        return AnswerAbort;
    if (buttons & QMessageBox::No)
        return AnswerNo;
    return AnswerOk;
}

int showBox(const QString &text, const QString &caption, unsigned int type)
{
    DlrMessageBox::Spec spec;
    spec.id = QLatin1String(DlrBox::installerBoxId(caption));
    spec.title = caption;
    spec.icon = iconFor(type);
    spec.text = text;
    spec.buttons = buttonsFor(type);
    const QList<QMessageBox::StandardButton> order = buttonOrderFor(type);
    const int defaultIndex = static_cast<int>((type & BoxDefaultMask) >> 8);
    spec.defaultButton = order.value(defaultIndex, order.first());
    return answerFor(DlrMessageBox::show(spec), type);
}
} // namespace

int messageBoxA(const char *text, const char *caption, unsigned int type)
{
    const QString boxText = QString::fromLocal8Bit(text ? text : "");
    const QString boxCaption = QString::fromLocal8Bit(caption ? caption : "Error");
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QCoreApplication::closingDown()) {
        qWarning() << "MessageBoxA without a running application:" << boxCaption << boxText;
        return 0;
    }
    if (QThread::currentThread() == app->thread())
        return showBox(boxText, boxCaption, type);
    int answer = 0;
    QMetaObject::invokeMethod(
            app, [&] { answer = showBox(boxText, boxCaption, type); },
            Qt::BlockingQueuedConnection);
    return answer;
}

int messageBoxExA(const char *text, const char *caption, unsigned int type, unsigned short language)
{
    if (language != 0)
        qDebug() << "MessageBoxExA language" << language << "shown in the user's language";
    return messageBoxA(text, caption, type);
}

bool messageBeep(unsigned int type)
{
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app)
        return false;
    Q_UNUSED(type) // one sound for every icon here
    QMetaObject::invokeMethod(
            app, [] { QApplication::beep(); }, Qt::QueuedConnection);
    return true;
}

} // namespace DlrPlatform
