#pragma once

#include "DlrManifestElement.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The folder a -mirror run fills, for any web server or file share to serve: the packages under
// their file names, then the product list exactly as the maker signed it (manifest.xml) and its
// signature (manifest.xml.sig), written last so a reader never meets a list that names a
// package not yet there. The index .tessmirror names the packages mirror runs wrote, so a later
// run removes only those the new list no longer names, never anything else in the folder.
class DlrMirror
{
public:
    static constexpr char ListName[] = "manifest.xml";
    static constexpr char SignatureName[] = "manifest.xml.sig";
    static constexpr char IndexName[] = ".tessmirror";

    explicit DlrMirror(const QString &folder);
    QString folder() const { return path; }

    // Whether the folder can be made and take new files (asked before any traffic).
    static bool canWrite(const QString &folder, QString *problem);

    // Before the downloads: a file under the name of an offer to mirror that is not its package
    // (another size, or a digest that differs) is removed, so the package takes its own name.
    void clearStale(const QList<DlrManifestElement> &offers, const QList<int> &picked) const;

    // After the downloads: the list and its signature, then the index of the packages named
    // (the files), then the packages of earlier runs no longer named are removed (*removed).
    bool publish(const QByteArray &list,
                 const QByteArray &signature,
                 const QStringList &files,
                 QStringList *removed,
                 QString *error) const;

private:
    QStringList readIndex() const;

    QString path;
};
