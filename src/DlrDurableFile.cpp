#include "DlrDurableFile.h"

#include "DlrPlatform.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace DlrDurableFile {

bool commit(const QString &from, const QString &to, QString *error)
{
    if (!DlrPlatform::syncFile(from)) {
        *error = QStringLiteral("Could not flush %1 to disk: %2")
                         .arg(from, DlrPlatform::errorText(DlrPlatform::lastError()));
        return false;
    }
    if (!DlrPlatform::replaceFileDurably(from, to)) {
        *error = QStringLiteral("Could not rename %1 to %2: %3")
                         .arg(from, to, DlrPlatform::errorText(DlrPlatform::lastError()));
        return false;
    }
    return true;
}

bool write(const QString &path, const QByteArray &bytes, QString *error)
{
    QString temporary;
    {
        // Beside the target, so the rename never crosses a file system.
        QTemporaryFile file(QFileInfo(path).absoluteFilePath() + QStringLiteral(".XXXXXX"));
        if (!file.open()) {
            *error = file.errorString();
            return false;
        }
        if (file.write(bytes) != bytes.size() || !file.flush()) {
            *error = file.errorString();
            return false;
        }
        file.setAutoRemove(false);
        temporary = file.fileName();
        // Only destroying it closes the handle (QTemporaryFile::close() keeps the file open),
        // and Windows renames no file that is open without FILE_SHARE_DELETE.
    }
    if (!commit(temporary, path, error)) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}

} // namespace DlrDurableFile
