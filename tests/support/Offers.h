// Offer records for tests, filled the way the manifest reader fills them:
//   DlrManifestElement e = TessTest::Offer("TessalineWorkserver-25.1.msi").label("...").build("7");
#pragma once

#include "DlrManifestElement.h"

#include <QRegularExpression>

namespace TessTest {

class Offer
{
public:
    explicit Offer(const QString &name) { e.name = name; }

    Offer &label(const QString &simpleName)
    {
        e.simpleName = simpleName;
        return *this;
    }
    Offer &build(const QString &id)
    {
        e.buildId = id;
        return *this;
    }
    // "25.1" or "24.4b2", as the manifest's VersionMajor, VersionMinor and VersionBeta.
    Offer &version(const QString &text)
    {
        static const QRegularExpression parts(QStringLiteral("^(\\d+)\\.(\\d+)(.*)$"));
        const QRegularExpressionMatch m = parts.match(text);
        if (m.hasMatch())
            e.SetVersion(m.captured(1), m.captured(2), m.captured(3));
        return *this;
    }
    Offer &behavior(const QString &defaultBehavior)
    {
        e.defaultBehavior = defaultBehavior;
        return *this;
    }
    Offer &size(qint64 bytes)
    {
        e.fileSize = bytes;
        return *this;
    }
    Offer &url(const QString &address)
    {
        e.downloadUrl = QUrl(address);
        return *this;
    }

    operator DlrManifestElement() const { return e; }

private:
    DlrManifestElement e;
};

} // namespace TessTest
