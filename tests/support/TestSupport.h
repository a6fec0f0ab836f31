#pragma once

// Shared by the test programs: a private home, a log capture, a message-box answerer, main().

#include "DlrApp.h"

#include <QMessageBox>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace TessTest {

// Source and build folders of the project (from the environment CTest sets).
QString sourceDir();
QString binaryDir();

// A private HOME (with Downloads) and XDG folders: runs never touch the real user's files.
void prepareEnvironment();
// The private home's Downloads folder.
QString downloadsDir();
// A file's bytes ("<missing>" when it cannot be read); a file written whole (its path, or empty).
QByteArray readFile(const QString &path);
QString writeFile(const QString &path, const QByteArray &bytes);

// Records every log message while it lives (and passes them on to the previous handler).
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    bool contains(const QString &text) const { return count(text) > 0; }
    int count(const QString &text) const; // lines that contain the text
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList captured;
    static LogCapture *active;
};

// What a message box showed, and how it was answered.
struct BoxRecord
{
    QString id;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text;
    QString informativeText;
    QString detailedText;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    bool expected = true; // false when no answer was queued for it
};

// Watches for modal message boxes and answers them, in order, with the queued answers.
// A box that appears with no answer queued is recorded as unexpected and closed with its
// escape button, so a test never hangs on it.
class BoxAnswerer : public QObject
{
    Q_OBJECT
public:
    explicit BoxAnswerer(QObject *parent = nullptr);

    // Answer the next box with this button; when expectedId is given, the box must carry it.
    // With a condition the box stays open until it holds (events go on arriving meanwhile), or
    // until timeoutMs have passed.
    void enqueue(QMessageBox::StandardButton answer,
                 const QString &expectedId = QString(),
                 std::function<bool()> condition = {},
                 int timeoutMs = 10000)
    {
        queue.append({answer, expectedId, std::move(condition), timeoutMs});
    }
    // True while a box is shown and waiting for its condition.
    bool isHolding() const { return holding; }
    QList<BoxRecord> seen() const { return records; }
    int count() const { return records.size(); }
    BoxRecord last() const { return records.isEmpty() ? BoxRecord() : records.last(); }
    // Boxes that appeared with no answer queued, or with another id than the one expected.
    int unexpectedCount() const;

private:
    void poll();

    struct Answer
    {
        QMessageBox::StandardButton button;
        QString id;
        std::function<bool()> condition;
        int timeoutMs = 0;
    };
    void answer(QMessageBox *box, const Answer &a, BoxRecord r);
    bool holding = false;
    QList<Answer> queue;
    QList<BoxRecord> records;
    QTimer timer;
};

// The addresses the program asks the desktop to open (QDesktopServices::setUrlHandler, "open").
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls.append(url); }
};

} // namespace TessTest

// main() for a test program: a private environment, the application object (given only the
// program name, so test-runner options are not read as installer options), then the tests.
#define TESS_TEST_MAIN(TestClass)                                                                  \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        TessTest::prepareEnvironment();                                                            \
        int appArgc = 1;                                                                           \
        DlrApp app(appArgc, argv);                                                                 \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestClass tc;                                                                              \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
