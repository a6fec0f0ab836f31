#pragma once

#include <QByteArray>
#include <QString>

// Files whose final name must never stand on incomplete bytes, whatever ends the run (a kill,
// a power loss): the data goes to disk before the name does. The report, the record of
// installs, a download's validator and a finished download are written this way.
namespace DlrDurableFile {

// Writes bytes to a temporary file beside path, flushes it to disk and renames it over path.
// False with *error set (the system's own text); path is then as it was.
bool write(const QString &path, const QByteArray &bytes, QString *error);

// Gives a complete, closed file its final name (replacing a file of that name): its data to
// disk first, then the rename and the folder's entry. False with *error set.
bool commit(const QString &from, const QString &to, QString *error);

} // namespace DlrDurableFile
