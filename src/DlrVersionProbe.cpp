#include "DlrVersionProbe.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace DlrVersionProbe {

namespace {

// The text as the product wrote it: its bytes up to the first zero byte, as Latin-1.
QString versionText(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return QString::fromLatin1(zero < 0 ? bytes : bytes.left(zero));
}

// Steps shared by the build-id file and the "-version" output. True on failure.
bool parseVersionText(const QString &text,
                      const QRegularExpression &buildIdExpression,
                      int &buildId,
                      int &major,
                      int &minor,
                      QString *suffix)
{
    // Greedy over the whole text: a product may print its name, its version and its link
    // line on separate lines.
    static const QRegularExpression versionExpression(
            QStringLiteral("Tessaline.*([1-9][0-9])\\.([0-9])([\\S]+)?"),
            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch id = buildIdExpression.match(text);
    if (!id.hasMatch()) {
        qDebug() << "no build id in output" << text;
        return true;
    }
    const QRegularExpressionMatch version = versionExpression.match(text);
    if (!version.hasMatch()) {
        qDebug() << "no version in output" << text;
        return true;
    }
    bool idOk = false, majorOk = false, minorOk = false;
    buildId = id.captured(1).toInt(&idOk, 10);
    major = version.captured(1).toInt(&majorOk, 10);
    minor = version.captured(2).toInt(&minorOk, 10);
    if (suffix)
        *suffix = version.captured(3);
    return !(idOk && majorOk && minorOk);
}

// Runs the executable with "-version" and collects the start of its standard error. False when
// it did not start or did not finish within the wait; the child is then killed and reaped.
bool runVersionQuery(const QString &path, QByteArray *errorOutput)
{
    QProcess process;
    process.setProgram(path);
    process.setArguments({QStringLiteral("-version")});
    // Standard output is not read: sending it nowhere also keeps a talkative child from
    // blocking on a full pipe. Standard input is empty, so a product asking for input ends.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setReadChannel(QProcess::StandardError);

    const QDeadlineTimer deadline(WaitMs);
    process.start(QIODevice::ReadOnly);
    bool finished = false;
    if (process.waitForStarted(int(qMax<qint64>(deadline.remainingTime(), 0)))) {
        // Drain as it arrives and keep only the first bytes, so the process's own buffer never
        // holds more than one pipe's worth.
        auto drain = [&] {
            while (process.bytesAvailable() > 0) {
                const QByteArray chunk = process.read(64 * 1024);
                const qint64 room = MaxTextBytes - errorOutput->size();
                if (room > 0)
                    errorOutput->append(chunk.left(int(room)));
            }
        };
        while (true) {
            drain();
            if (process.state() == QProcess::NotRunning) {
                finished = true;
                break;
            }
            const qint64 left = deadline.remainingTime();
            if (left <= 0)
                break;
            if (!process.waitForReadyRead(int(left)) && process.state() != QProcess::NotRunning
                && !deadline.hasExpired()) {
                // Standard error closed while the process runs on: wait for its end alone.
                process.waitForFinished(int(qMax<qint64>(deadline.remainingTime(), 0)));
            }
        }
        drain();
    }
    if (!finished && process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000); // reaps it
    }
    return finished;
}

} // namespace

bool fromFile(const QString &path, int &buildId, int &major, int &minor)
{
    if (!QFileInfo::exists(path)) {
        qDebug() << "getBuildIdFromFile given non-existing path" << path;
        return true;
    }
    qDebug() << "getting version info from" << path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug() << "getBuildIdFromFile couldn't open file";
        return true;
    }
    static const QRegularExpression buildIdExpression(QStringLiteral("@([0-9]+)"));
    return parseVersionText(versionText(file.read(MaxTextBytes)), buildIdExpression, buildId, major,
                            minor, nullptr);
}

bool fromExecutable(const QString &path, int &buildId, int &major, int &minor, QString &suffix)
{
    if (!QFileInfo::exists(path)) {
        qDebug() << "getBuildId given non-existing path" << path;
        return true;
    }
    qDebug() << "getting version info from" << path;
    QByteArray errorOutput;
    if (!runVersionQuery(path, &errorOutput)) {
        qDebug() << "Wait failed on process " << path;
        return true;
    }
    static const QRegularExpression buildIdExpression(
            QStringLiteral("linked.*@([0-9]+)"), QRegularExpression::DotMatchesEverythingOption);
    return parseVersionText(versionText(errorOutput), buildIdExpression, buildId, major, minor,
                            &suffix);
}

} // namespace DlrVersionProbe
