#pragma once

// What the Linux package engine reads from a Windows Installer package: its properties, where
// each file goes below Program Files, and which cabinet holds it. Directory resolution and the
// escape check are pure and work on plain rows, so they can be tried without a package.

#include <QHash>
#include <QList>
#include <QString>

#include <memory>

typedef struct _LibmsiDatabase LibmsiDatabase;
typedef struct _GInputStream GInputStream;

namespace DlrPlatform {

struct MsiDirectoryRow
{
    QString directory;
    QString parent; // empty for a root
    QString defaultDir;
};

struct MsiFileEntry
{
    QString key;          // File table key: the file's name inside the cabinet
    QString fileName;     // long name
    QString relativePath; // below Program Files, '/'-separated, normalised
    int sequence = 0;
    int attributes = 0;
    qint64 size = 0; // from the cabinet once it is loaded
};

struct MsiMediaEntry
{
    int diskId = 0;
    int lastSequence = 0;
    QString cabinet; // as in the Media table; a leading '#' means embedded
};

class MsiPackage
{
public:
    MsiPackage();
    ~MsiPackage();
    MsiPackage(const MsiPackage &) = delete;
    MsiPackage &operator=(const MsiPackage &) = delete;

    enum class Status { Ok, CannotOpen, Invalid };

    // Opens the package and reads Property, Directory, Component, File and Media.
    // CannotOpen: the file is missing or unreadable; Invalid: not a package, or tables that
    // cannot be used (including any entry that would land outside Program Files).
    Status open(const QString &path, QString *reason);

    QString property(const QString &name) const { return properties.value(name); }
    const QHash<QString, QString> &allProperties() const { return properties; }
    const QList<MsiMediaEntry> &media() const { return mediaRows; }
    QList<MsiFileEntry> &files() { return fileRows; }
    const QList<MsiFileEntry> &files() const { return fileRows; }
    QString path() const { return packagePath; }

    // The media row that holds a file (by sequence), null when none does.
    const MsiMediaEntry *mediaFor(const MsiFileEntry &file) const;
    // Whether any file of the package lies in this media's cabinet.
    bool holdsFiles(const MsiMediaEntry &media) const;

    // A new stream over a cabinet: the embedded stream for "#name", else the file of that name
    // beside the package. Null with a reason when it cannot be had.
    GInputStream *openCabinet(const MsiMediaEntry &media, QString *reason) const;

    // --- Pure helpers ----------------------------------------------------------------------

    // The target long name of a DefaultDir or FileName value: "[short|]long[:source]".
    static QString longName(const QString &value);
    // Every directory's path below Program Files ("" for Program Files itself). False with a
    // reason for a missing parent, a cycle or a name that escapes.
    static bool resolveDirectories(const QList<MsiDirectoryRow> &rows,
                                   QHash<QString, QString> *relativePaths,
                                   QString *reason);
    // Joins a folder and a name (backslashes count as separators, as on Windows) and
    // normalises; false when the result would leave Program Files.
    static bool joinInside(const QString &folder, const QString &name, QString *joined);

private:
    bool readTables(QString *reason);

    QString packagePath;
    LibmsiDatabase *database = nullptr;
    QHash<QString, QString> properties;
    QList<MsiMediaEntry> mediaRows;
    QList<MsiFileEntry> fileRows;
};

} // namespace DlrPlatform
