#include "DlrMirror.h"

#include "DlrDownloadNames.h"
#include "DlrDurableFile.h"
#include "DlrProductDownload.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

DlrMirror::DlrMirror(const QString &folder)
    : path(QDir(folder).absolutePath())
{}

bool DlrMirror::canWrite(const QString &folder, QString *problem)
{
    const QFileInfo info(folder);
    if (info.exists() && !info.isDir()) {
        *problem = QStringLiteral("Mirror folder %1 is not a folder").arg(folder);
        return false;
    }
    if (!QDir().mkpath(folder)) {
        *problem = QStringLiteral("Mirror folder %1 cannot be made").arg(folder);
        return false;
    }
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".tessmirror-probe.XXXXXX")));
    if (!probe.open()) {
        *problem = QStringLiteral("Mirror folder %1 cannot be written: %2")
                           .arg(folder, probe.errorString());
        return false;
    }
    return true;
}

QStringList DlrMirror::readIndex() const
{
    QFile file(QDir(path).filePath(QLatin1String(IndexName)));
    QStringList names;
    if (!file.open(QIODevice::ReadOnly))
        return names;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QString name = QString::fromUtf8(line).trimmed();
        // Only plain names of this folder: the index is no way to reach anything else.
        if (!name.isEmpty() && DlrDownloadNames::safeFileName(name) == name
            && name != QLatin1String(ListName) && name != QLatin1String(SignatureName)
            && name != QLatin1String(IndexName))
            names << name;
    }
    return names;
}

void DlrMirror::clearStale(const QList<DlrManifestElement> &offers, const QList<int> &picked) const
{
    for (const int index : picked) {
        const DlrManifestElement &offer = offers.at(index);
        const QString file = QDir(path).filePath(DlrDownloadNames::safeFileName(offer.name));
        if (offer.downloaded || !QFileInfo(file).isFile())
            continue;
        qInfo().noquote() << "Mirror: removing" << file << "- it is not the package the list names";
        QFile::remove(file);
    }
}

bool DlrMirror::publish(const QByteArray &list,
                        const QByteArray &signature,
                        const QStringList &files,
                        QStringList *removed,
                        QString *error) const
{
    const QDir dir(path);
    // The signature first: for the moment between the two, a reader finds a list that does not
    // match its signature and refuses it, never a new list beside packages not yet there. A
    // list that came unsigned (a developer's service) leaves no signature of an older one.
    const QString signaturePath = dir.filePath(QLatin1String(SignatureName));
    const QString listPath = dir.filePath(QLatin1String(ListName));
    if (signature.isEmpty() ? (QFile::exists(signaturePath) && !QFile::remove(signaturePath))
                            : !DlrDurableFile::write(signaturePath, signature, error)) {
        if (error->isEmpty())
            *error = QStringLiteral("cannot remove ") + signaturePath;
        return false;
    }
    if (!DlrDurableFile::write(listPath, list, error))
        return false;
    // Served to anyone the folder's web server or share serves, as the packages are.
    for (const QString &file : {signaturePath, listPath})
        QFile::setPermissions(file, QFile::permissions(file) | QFile::ReadGroup | QFile::ReadOther);
    QStringList index = files;
    for (const QString &name : readIndex()) {
        if (files.contains(name))
            continue;
        if (QFile::exists(dir.filePath(name)) && !QFile::remove(dir.filePath(name))) {
            qWarning().noquote() << "Mirror: cannot remove" << dir.filePath(name);
            index << name; // still ours, to be removed by a later run
            continue;
        }
        QFile::remove(DlrProductDownload::validatorPath(dir.filePath(name)
                                                        + QStringLiteral(".tessdownload")));
        *removed << name;
    }
    index.removeDuplicates();
    return DlrDurableFile::write(dir.filePath(QLatin1String(IndexName)),
                                 index.join(QLatin1Char('\n')).toUtf8() + '\n', error);
}
