#include "DlrDownloadNames.h"

#include <QDebug>
#include <QFileInfo>

namespace DlrDownloadNames {

namespace {
constexpr int MaxNumber = 9999;

QString withTempSuffix(const QString &name)
{
    return name + QLatin1Char('.') + QLatin1String(TempSuffix);
}

bool usableDirectory(const QDir &dir)
{
    return dir.exists() && QFileInfo(dir.absolutePath()).isWritable();
}
} // namespace

QString safeFileName(const QString &offerName)
{
    int cut = -1;
    for (QChar separator : {QLatin1Char('/'), QLatin1Char('\\'), QLatin1Char(':')})
        cut = qMax(cut, offerName.lastIndexOf(separator));
    const QString name = offerName.mid(cut + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    for (QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QString();
    }
    return name;
}

QString baseName(const QString &fileName)
{
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? fileName : fileName.left(dot);
}

QString suffix(const QString &fileName)
{
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : fileName.mid(dot + 1);
}

QString finalCandidate(const QString &folder, const QString &base, const QString &suffix, int n)
{
    QString name = folder + QLatin1Char('/') + base;
    if (n > 0)
        name += QLatin1Char('-') + QString::number(n);
    return name + QLatin1Char('.') + suffix;
}

QString chooseTempName(const QString &folder,
                       const QString &fileName,
                       const std::function<bool(const QString &)> &exists)
{
    const QString base = baseName(fileName);
    const QString ext = suffix(fileName);
    auto isFree = [&exists](const QString &finalName) {
        return !exists(finalName) && !exists(withTempSuffix(finalName));
    };

    for (int n = 0; n <= MaxNumber; ++n) {
        const QString candidate = finalCandidate(folder, base, ext, n);
        if (isFree(candidate))
            return withTempSuffix(candidate);
    }

    qDebug() << "Failed to find unique name for " << fileName;
    // Emergency names stay in the download folder too: the working directory of a desktop
    // program can be anywhere, and nothing is written outside the download folder.
    for (int m = 1; m <= MaxNumber; ++m) {
        const QString candidate
                = folder + QStringLiteral("/tess-") + QString::number(m) + QLatin1Char('.') + ext;
        if (isFree(candidate))
            return withTempSuffix(candidate);
    }
    return QLatin1String(LastResortName);
}

QString finalNameFromTempName(const QString &tempName, bool *unexpected)
{
    const QFileInfo info(tempName);
    const QString fileName = info.fileName();
    if (suffix(fileName) != QLatin1String(TempSuffix)) {
        if (unexpected)
            *unexpected = true;
        return tempName;
    }
    if (unexpected)
        *unexpected = false;
    return info.path() + QLatin1Char('/') + baseName(fileName);
}

QDir chooseDownloadFolder(const QString &downloads, const QString &temp, Folder *which)
{
    Folder chosen = Folder::Downloads;
    QDir folder(downloads);
    if (!usableDirectory(folder)) {
        qDebug() << "No ~/Downloads dir " << folder.absolutePath() << "Trying temp";
        chosen = Folder::Temporary;
        folder = QDir(temp);
        if (temp.isEmpty() || !usableDirectory(folder)) {
            qDebug() << "No temp, using . for downloads";
            chosen = Folder::Working;
            folder = QDir();
        }
    }
    if (which)
        *which = chosen;
    return folder;
}

} // namespace DlrDownloadNames
