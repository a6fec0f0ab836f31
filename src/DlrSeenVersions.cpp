#include "DlrSeenVersions.h"

#include "DlrDurableFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace {
// Enough lines that a few damaged ones still leave a recent value standing.
const int KeptValues = 8;

QString checkOf(const QString &number)
{
    const QByteArray bytes = number.toLatin1();
    return QStringLiteral("%1").arg(qChecksum(bytes.constData(), uint(bytes.size())), 4, 16,
                                    QLatin1Char('0'));
}
} // namespace

DlrSeenVersions::DlrSeenVersions(const QString &path)
    : filePath(path)
{}

QString DlrSeenVersions::defaultPath()
{
    return QDir::homePath() + QStringLiteral("/tessinstaller.versions");
}

QString DlrSeenVersions::lineFor(qint64 version)
{
    const QString number = QString::number(version);
    return number + QLatin1Char(' ') + checkOf(number);
}

qint64 DlrSeenVersions::load(QStringList *warnings)
{
    values.clear();
    unreadable = false;
    QFile file(filePath);
    if (!file.exists())
        return 0;
    if (!file.open(QIODevice::ReadOnly)) {
        unreadable = true;
        *warnings << QStringLiteral("Cannot read the remembered product list versions in %1: %2; "
                                    "no version is known this run and the file is left as it is")
                             .arg(filePath, file.errorString());
        return 0;
    }
    static const QRegularExpression valid(QStringLiteral("^([0-9]{1,18}) ([0-9a-f]{4})$"));
    int damaged = 0;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromLatin1(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QRegularExpressionMatch m = valid.match(line);
        if (m.hasMatch() && checkOf(m.captured(1)) == m.captured(2))
            values << m.captured(1).toLongLong();
        else
            ++damaged;
    }
    std::sort(values.begin(), values.end());
    if (damaged > 0) {
        *warnings << QStringLiteral("The remembered product list versions in %1 are damaged "
                                    "(%2 unreadable lines); keeping the highest readable: %3")
                             .arg(filePath)
                             .arg(damaged)
                             .arg(highest());
    }
    return highest();
}

bool DlrSeenVersions::remember(qint64 version, QString *error)
{
    if (unreadable) {
        *error = QStringLiteral("%1 could not be read, so it is not replaced").arg(filePath);
        return false;
    }
    if (version <= highest())
        return true;
    values << version;
    while (values.size() > KeptValues)
        values.removeFirst();
    QString text = QStringLiteral("# Product list versions the Tessaline Installer has believed, "
                                  "newest last; a list older than the newest is refused.\n");
    for (qint64 value : qAsConst(values))
        text += lineFor(value) + QLatin1Char('\n');
    return DlrDurableFile::write(filePath, text.toLatin1(), error);
}
