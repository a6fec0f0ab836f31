#pragma once

#include "DlrManifestElement.h"

#include <QDir>
#include <QJsonObject>
#include <QString>

// The record of what runs without questions installed on this machine:
// "tessinstaller-installed.json" in the download folder, each product's name with the build id
// installed. The survey recognises Workservers and Maya bridges but not every product, so an
// offer of the proposal recorded here in the same build is not proposed again.
class DlrInstallLedger
{
public:
    static constexpr char FileName[] = "tessinstaller-installed.json";

    explicit DlrInstallLedger(const QDir &folder);

    QString path() const { return file; }
    // Whether an earlier run installed this offer: its name recorded with its build id.
    bool records(const DlrManifestElement &offer) const;
    // Records the offer as installed, on disk before this returns. False, with *error, when
    // the record cannot be written.
    bool add(const DlrManifestElement &offer, QString *error);

private:
    QJsonObject read() const;

    QString file;
};
