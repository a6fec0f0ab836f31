// GLib headers come before Qt's: gio has members named "signals".
#include <gio/gio.h>
#include <libmsi.h>

#include "MsiPackage.h"

#include "GlibPtr.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <functional>

namespace DlrPlatform {

namespace {
// Program Files as seen by the path arithmetic below; only its shape matters.
const QString RootMarker = QStringLiteral("/ProgramFiles");

struct Row
{
    QStringList values;
    QVector<bool> nulls;
};

// Runs a SELECT and hands back every row as text (integer columns come back as their decimal
// text). False with a reason when the query fails, such as a missing table.
bool selectRows(LibmsiDatabase *db, const char *sql, int columns, QList<Row> *rows, QString *reason)
{
    GErrorHolder error;
    GRef<LibmsiQuery> query(libmsi_query_new(db, sql, error.out()));
    if (!query) {
        *reason = QStringLiteral("query \"%1\" failed: %2")
                          .arg(QString::fromLatin1(sql), error.message());
        return false;
    }
    // A query is executed before it is fetched from.
    if (!libmsi_query_execute(query.get(), nullptr, error.out())) {
        *reason = QStringLiteral("query \"%1\" failed: %2")
                          .arg(QString::fromLatin1(sql), error.message());
        return false;
    }
    for (;;) {
        GRef<LibmsiRecord> record(libmsi_query_fetch(query.get(), error.out()));
        if (!record)
            break;
        Row row;
        for (int i = 1; i <= columns; ++i) {
            // A null field reads as ""; is_null tells the two apart.
            const bool isNull = libmsi_record_is_null(record.get(), i);
            row.nulls.append(isNull);
            row.values.append(isNull ? QString()
                                     : takeGString(libmsi_record_get_string(record.get(), i)));
        }
        rows->append(row);
    }
    libmsi_query_close(query.get(), nullptr);
    return true;
}

QString tableError(const QString &table, const QString &why)
{
    return QStringLiteral("table %1: %2").arg(table, why);
}
} // namespace

MsiPackage::MsiPackage() = default;

MsiPackage::~MsiPackage()
{
    if (database)
        g_object_unref(database);
}

MsiPackage::Status MsiPackage::open(const QString &path, QString *reason)
{
    packagePath = path;
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || !info.isReadable()) {
        *reason = QStringLiteral("package %1 does not exist or cannot be read").arg(path);
        return Status::CannotOpen;
    }
    // On a missing or non-package file libmsi returns null without setting the error, so the
    // pointer is what counts.
    GErrorHolder error;
    database = libmsi_database_new(QFile::encodeName(path).constData(), LIBMSI_DB_FLAGS_READONLY,
                                   nullptr, error.out());
    if (!database) {
        *reason = QStringLiteral("%1 is not a Windows Installer package").arg(path);
        return Status::Invalid;
    }
    if (!readTables(reason))
        return Status::Invalid;
    return Status::Ok;
}

bool MsiPackage::readTables(QString *reason)
{
    QList<Row> rows;
    // Property is optional; the others are what an install needs.
    if (selectRows(database, "SELECT `Property`, `Value` FROM `Property`", 2, &rows, reason)) {
        for (const Row &row : qAsConst(rows))
            properties.insert(row.values.at(0), row.values.at(1));
    } else {
        qDebug() << "MSI package has no Property table:" << *reason;
    }

    rows.clear();
    if (!selectRows(database,
                    "SELECT `Directory`, `Directory_Parent`, `DefaultDir` FROM `Directory`", 3,
                    &rows, reason))
        return false;
    QList<MsiDirectoryRow> directoryRows;
    for (const Row &row : qAsConst(rows))
        directoryRows.append({row.values.at(0), row.values.at(1), row.values.at(2)});
    QHash<QString, QString> directoryPaths;
    if (!resolveDirectories(directoryRows, &directoryPaths, reason))
        return false;

    rows.clear();
    if (!selectRows(database, "SELECT `Component`, `Directory_` FROM `Component`", 2, &rows,
                    reason))
        return false;
    QHash<QString, QString> componentDirectory;
    for (const Row &row : qAsConst(rows))
        componentDirectory.insert(row.values.at(0), row.values.at(1));

    rows.clear();
    if (!selectRows(database,
                    "SELECT `File`, `Component_`, `FileName`, `Sequence`, `Attributes` FROM `File`",
                    5, &rows, reason))
        return false;
    QSet<QString> targets;
    for (const Row &row : qAsConst(rows)) {
        MsiFileEntry file;
        file.key = row.values.at(0);
        const QString component = row.values.at(1);
        if (!componentDirectory.contains(component)) {
            *reason = tableError(
                    QStringLiteral("File"),
                    QStringLiteral("file %1 names unknown component %2").arg(file.key, component));
            return false;
        }
        const QString directory = componentDirectory.value(component);
        if (!directoryPaths.contains(directory)) {
            *reason = tableError(QStringLiteral("Component"),
                                 QStringLiteral("component %1 names unknown directory %2")
                                         .arg(component, directory));
            return false;
        }
        file.fileName = longName(row.values.at(2));
        if (file.fileName.isEmpty() || file.fileName == QLatin1String(".")
            || file.fileName == QLatin1String("..") || file.fileName.contains(QLatin1Char('/'))
            || file.fileName.contains(QLatin1Char('\\'))) {
            *reason = tableError(QStringLiteral("File"),
                                 QStringLiteral("file %1 has the unusable name \"%2\"")
                                         .arg(file.key, row.values.at(2)));
            return false;
        }
        if (!joinInside(directoryPaths.value(directory), file.fileName, &file.relativePath)) {
            *reason = tableError(QStringLiteral("File"),
                                 QStringLiteral("file %1 would be installed outside Program Files")
                                         .arg(file.key));
            return false;
        }
        if (targets.contains(file.relativePath)) {
            *reason = tableError(
                    QStringLiteral("File"),
                    QStringLiteral("two files would be installed as %1").arg(file.relativePath));
            return false;
        }
        targets.insert(file.relativePath);
        file.sequence = row.values.at(3).toInt();
        file.attributes = row.values.at(4).toInt();
        fileRows.append(file);
    }
    std::stable_sort(
            fileRows.begin(), fileRows.end(),
            [](const MsiFileEntry &a, const MsiFileEntry &b) { return a.sequence < b.sequence; });

    rows.clear();
    if (!selectRows(database, "SELECT `DiskId`, `LastSequence`, `Cabinet` FROM `Media`", 3, &rows,
                    reason)) {
        if (!fileRows.isEmpty())
            return false;
        rows.clear();
    }
    for (const Row &row : qAsConst(rows))
        mediaRows.append({row.values.at(0).toInt(), row.values.at(1).toInt(), row.values.at(2)});
    std::sort(mediaRows.begin(), mediaRows.end(),
              [](const MsiMediaEntry &a, const MsiMediaEntry &b) {
                  return a.lastSequence < b.lastSequence;
              });
    for (const MsiFileEntry &file : qAsConst(fileRows)) {
        const MsiMediaEntry *media = mediaFor(file);
        if (!media || media->cabinet.isEmpty()) {
            *reason = tableError(QStringLiteral("Media"),
                                 QStringLiteral("no cabinet holds file %1 (sequence %2)")
                                         .arg(file.key)
                                         .arg(file.sequence));
            return false;
        }
    }
    return true;
}

const MsiMediaEntry *MsiPackage::mediaFor(const MsiFileEntry &file) const
{
    for (const MsiMediaEntry &media : mediaRows) {
        if (file.sequence <= media.lastSequence)
            return &media;
    }
    return nullptr;
}

bool MsiPackage::holdsFiles(const MsiMediaEntry &media) const
{
    for (const MsiFileEntry &file : fileRows) {
        if (mediaFor(file) == &media)
            return true;
    }
    return false;
}

GInputStream *MsiPackage::openCabinet(const MsiMediaEntry &media, QString *reason) const
{
    if (media.cabinet.startsWith(QLatin1Char('#'))) {
        // The embedded cabinet is the _Streams row named after the cabinet without its '#'.
        const QString name = media.cabinet.mid(1);
        if (name.contains(QLatin1Char('\''))) {
            *reason = QStringLiteral("unusable cabinet name %1").arg(media.cabinet);
            return nullptr;
        }
        const QByteArray sql = QStringLiteral("SELECT `Data` FROM `_Streams` WHERE `Name` = '%1'")
                                       .arg(name)
                                       .toUtf8();
        GErrorHolder error;
        GRef<LibmsiQuery> query(libmsi_query_new(database, sql.constData(), error.out()));
        if (!query || !libmsi_query_execute(query.get(), nullptr, error.out())) {
            *reason = QStringLiteral("cannot look up cabinet stream %1: %2")
                              .arg(name, error.message());
            return nullptr;
        }
        GRef<LibmsiRecord> record(libmsi_query_fetch(query.get(), error.out()));
        if (!record) {
            *reason = QStringLiteral("the package holds no cabinet stream %1").arg(name);
            return nullptr;
        }
        GInputStream *stream = libmsi_record_get_stream(record.get(), 1);
        if (!stream)
            *reason = QStringLiteral("cannot read cabinet stream %1").arg(name);
        return stream;
    }

    const QString name = media.cabinet;
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))) {
        *reason = QStringLiteral("unusable cabinet name %1").arg(name);
        return nullptr;
    }
    const QString cabinetPath = QFileInfo(packagePath).absoluteDir().filePath(name);
    GRef<GFile> file(g_file_new_for_path(QFile::encodeName(cabinetPath).constData()));
    GErrorHolder error;
    GFileInputStream *stream = g_file_read(file.get(), nullptr, error.out());
    if (!stream) {
        *reason = QStringLiteral("cabinet %1 cannot be read: %2").arg(cabinetPath, error.message());
        return nullptr;
    }
    return G_INPUT_STREAM(stream);
}

QString MsiPackage::longName(const QString &value)
{
    QString target = value.section(QLatin1Char(':'), 0, 0);
    const int bar = target.indexOf(QLatin1Char('|'));
    if (bar >= 0)
        target = target.mid(bar + 1);
    return target;
}

bool MsiPackage::joinInside(const QString &folder, const QString &name, QString *joined)
{
    QString relative = folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (relative.startsWith(QLatin1Char('/')) || relative.contains(QLatin1Char(':')))
        return false; // absolute on either system
    const QString cleaned = QDir::cleanPath(RootMarker + QLatin1Char('/') + relative);
    if (cleaned == RootMarker) {
        *joined = QString();
        return true;
    }
    if (!cleaned.startsWith(RootMarker + QLatin1Char('/')))
        return false;
    *joined = cleaned.mid(RootMarker.size() + 1);
    return true;
}

bool MsiPackage::resolveDirectories(const QList<MsiDirectoryRow> &rows,
                                    QHash<QString, QString> *relativePaths,
                                    QString *reason)
{
    QHash<QString, const MsiDirectoryRow *> byId;
    for (const MsiDirectoryRow &row : rows)
        byId.insert(row.directory, &row);

    // Resolves one directory, its parents first; the depth bound catches cycles.
    std::function<bool(const QString &, int)> resolve = [&](const QString &id, int depth) -> bool {
        if (relativePaths->contains(id))
            return true;
        if (depth > rows.size()) {
            *reason = tableError(QStringLiteral("Directory"),
                                 QStringLiteral("directory %1 is part of a cycle").arg(id));
            return false;
        }
        const MsiDirectoryRow *row = byId.value(id);
        if (!row) {
            *reason = tableError(QStringLiteral("Directory"),
                                 QStringLiteral("unknown directory %1").arg(id));
            return false;
        }
        // The roots and the Program Files folders are Program Files itself.
        if (row->parent.isEmpty() || row->parent == row->directory
            || id == QLatin1String("TARGETDIR") || id == QLatin1String("ProgramFilesFolder")
            || id == QLatin1String("ProgramFiles64Folder")) {
            relativePaths->insert(id, QString());
            return true;
        }
        if (!resolve(row->parent, depth + 1))
            return false;
        const QString name = longName(row->defaultDir);
        QString path;
        if (name.isEmpty() || !joinInside(relativePaths->value(row->parent), name, &path)) {
            *reason = tableError(QStringLiteral("Directory"),
                                 QStringLiteral("directory %1 (\"%2\") would lie outside "
                                                "Program Files")
                                         .arg(id, row->defaultDir));
            return false;
        }
        relativePaths->insert(id, path);
        return true;
    };

    for (const MsiDirectoryRow &row : rows) {
        if (!resolve(row.directory, 0))
            return false;
    }
    return true;
}

} // namespace DlrPlatform
