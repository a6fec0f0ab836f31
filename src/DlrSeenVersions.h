#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The highest product list version this user's installer has believed, remembered beside the
// settings file so that every later run refuses an older list. The file keeps the last few
// versions believed, one a line with a check of its own, so that a damaged or edited line
// costs that line only: the highest value still readable counts, and the damage is reported.
// Deleting the file is how an administrator forgets the versions on purpose.
class DlrSeenVersions
{
public:
    explicit DlrSeenVersions(const QString &path = defaultPath());

    // "tessinstaller.versions" in the home folder, beside "tessinstaller.ini".
    static QString defaultPath();
    QString path() const { return filePath; }

    // Reads the file and returns the highest version in it. A missing file holds nothing (0)
    // and is no error; an unreadable or damaged one is said so in *warnings.
    qint64 load(QStringList *warnings);
    qint64 highest() const { return values.isEmpty() ? 0 : values.last(); }

    // Remembers a believed version when it is higher than the highest, replacing the file
    // durably. A file that exists but could not be read is left as it is (it may hold more).
    bool remember(qint64 version, QString *error);

    // One line of the file: the version and its check.
    static QString lineFor(qint64 version);

private:
    QString filePath;
    QList<qint64> values; // readable, ascending
    bool unreadable = false;
};
