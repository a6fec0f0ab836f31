#pragma once

#include <QFile>
#include <QSharedPointer>
#include <QString>
#include <QUrl>

// Major, minor and suffix of an offer's version, all texts.
struct ProductVersion
{
    QString major;
    QString minor;
    QString suffix;

    // major "." minor suffix: 24, 4 and b2 give 24.4b2; a null suffix adds nothing.
    QString VersionText() const;
};

// One product offer of the manifest, held by value in the application's manifest list.
class DlrManifestElement
{
public:
    QString buildId;
    QString defaultBehavior;
    QUrl downloadUrl;
    QString simpleName;
    QString name;
    qint64 fileSize = 0;
    // The package's SHA-256 as 64 lowercase hex digits; empty when the manifest gave none.
    QString sha256;
    bool downloaded = false;
    // The record owns its file object. Copies of a record share it through the reference
    // count, so the object is deleted exactly once, when the last copy goes.
    QSharedPointer<QFile> downloadFile;
    QString versionMajor;
    QString versionMinor;
    QString versionBeta;

    // The simple name when it is not empty, else the name.
    QString label() const;

    // Assigns the non-empty parts; the suffix is trimmed and ignored when only white space.
    void SetVersion(const QString &major, const QString &minor, const QString &beta);

    // True when the label carries no version ("12.3" style); otherwise false and version set.
    bool GetVersion(QString &version) const;

    // The version triple, first derived from the label when the manifest did not give both
    // major and minor.
    ProductVersion GetProductVersion();

    // Major part of GetProductVersion, minor "0", null suffix.
    ProductVersion GetMajorVersion();

    // VersionText of GetProductVersion.
    QString VersionText();
};

bool IsWorkserverOffer(const DlrManifestElement &offer);
bool IsTfmOffer(const DlrManifestElement &offer);
bool IsAtelierOffer(const DlrManifestElement &offer);
bool IsHarrowOffer(const DlrManifestElement &offer);
