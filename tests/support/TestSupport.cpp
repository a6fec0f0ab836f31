#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QPointer>
#include <QPushButton>

namespace TessTest {

namespace {
QTemporaryDir *s_home = nullptr;
}

QString sourceDir()
{
    return QString::fromLocal8Bit(qgetenv("TESS_SOURCE_DIR"));
}

QString binaryDir()
{
    return QString::fromLocal8Bit(qgetenv("TESS_BINARY_DIR"));
}

void prepareEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!s_home) {
        // Lives until the process ends; QTemporaryDir removes it then.
        static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/tesstest-home.XXXXXX"));
        s_home = &home;
    }
    const QString home = s_home->path();
    QDir(home).mkpath(QStringLiteral("Downloads"));
    QDir(home).mkpath(QStringLiteral(".config"));
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/.config")));
    qputenv("XDG_DOWNLOAD_DIR", QFile::encodeName(home + QStringLiteral("/Downloads")));
    qunsetenv("TESSINSTALLER_DEBUG_ENTITLEMENT");
    qunsetenv("DLR_MANIFEST_FILE");
    qunsetenv("DLR_APPEND_MANIFEST_FILE");
}

QString downloadsDir()
{
    return (s_home ? s_home->path() : QDir::homePath()) + QStringLiteral("/Downloads");
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                         && file.write(bytes) == bytes.size();
    return written ? path : QString();
}

// --- LogCapture --------------------------------------------------------------------------------

LogCapture *LogCapture::active = nullptr;

LogCapture::LogCapture()
{
    active = this;
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    active = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (LogCapture *self = active) {
        {
            QMutexLocker lock(&self->mutex);
            self->captured.append(msg);
        }
        if (self->previous)
            self->previous(type, context, msg);
    }
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

int LogCapture::count(const QString &text) const
{
    QMutexLocker lock(&mutex);
    int n = 0;
    for (const QString &line : captured)
        n += line.contains(text) ? 1 : 0;
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}

// --- BoxAnswerer -------------------------------------------------------------------------------

BoxAnswerer::BoxAnswerer(QObject *parent)
    : QObject(parent)
{
    timer.setInterval(5);
    connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
    timer.start();
}

int BoxAnswerer::unexpectedCount() const
{
    int n = 0;
    for (const BoxRecord &r : records)
        n += r.expected ? 0 : 1;
    return n;
}

void BoxAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box->property("tessAnswered").toBool())
        return;
    box->setProperty("tessAnswered", true);

    BoxRecord r;
    r.id = box->objectName();
    r.icon = box->icon();
    r.text = box->text();
    r.informativeText = box->informativeText();
    r.detailedText = box->detailedText();
    r.buttons = box->standardButtons();
    r.defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton())
                                           : QMessageBox::NoButton;

    if (queue.isEmpty()) {
        r.expected = false;
        answer(box, Answer{QMessageBox::NoButton, QString(), {}, 0}, r);
        return;
    }
    const Answer a = queue.takeFirst();
    r.expected = a.id.isEmpty() || a.id == r.id;
    if (!a.condition) {
        answer(box, a, r);
        return;
    }
    // Hold the box open until the condition holds; the box's own event loop keeps running.
    holding = true;
    QPointer<QMessageBox> guard(box);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto *check = new QTimer(this);
    check->setInterval(5);
    connect(check, &QTimer::timeout, this, [this, guard, a, r, check, clock] {
        if (guard && !a.condition() && clock->elapsed() < a.timeoutMs)
            return;
        check->stop();
        check->deleteLater();
        holding = false;
        if (guard)
            answer(guard, a, r);
    });
    check->start();
}

void BoxAnswerer::answer(QMessageBox *box, const Answer &a, BoxRecord r)
{
    QAbstractButton *button = a.button != QMessageBox::NoButton ? box->button(a.button) : nullptr;
    if (button) {
        r.answer = a.button;
    } else {
        r.expected = false;
        button = box->escapeButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().first();
        r.answer = button ? box->standardButton(button) : QMessageBox::NoButton;
    }
    records.append(r);
    // Answered from the event loop, after the current slot has returned.
    if (button)
        QTimer::singleShot(0, button, [button] { button->click(); });
    else
        QTimer::singleShot(0, box, [box] { box->done(0); });
}

} // namespace TessTest
