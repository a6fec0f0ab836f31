// Linux side of the platform layer's user32 message boxes. The installer calls them on its
// worker thread; a QMessageBox can only live on the user-interface thread, so the box is
// shown there through a blocking queued call and the worker waits for the answer, as it
// would inside MessageBoxA.
#include "DlrPlatform.h"

#include "DlrInstallerBox.h"

#include <QApplication>
#include <QDebug>
#include <QThread>

namespace DlrPlatform {

namespace {
int showBox(const QString &text, const QString &caption, unsigned int type)
{
    return DlrInstallerBox::answerCode(
            DlrMessageBox::show(DlrInstallerBox::spec(caption, text, type)), type);
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
