// Offer records for tests, filled the way the manifest reader fills them.
#pragma once

#include "DlrManifestElement.h"

namespace TessTest {

class Offer
{
public:
    explicit Offer(const QString &name) { e.name = name; }

    Offer &label(const QString &simpleName) { return set(e.simpleName, simpleName); }
    Offer &build(const QString &id) { return set(e.buildId, id); }
    Offer &behavior(const QString &kind) { return set(e.defaultBehavior, kind); }
    Offer &size(qint64 bytes) { return set(e.fileSize, bytes); }
    Offer &url(const QString &address) { return set(e.downloadUrl, QUrl(address)); }
    // "25.1", as the manifest's VersionMajor and VersionMinor.
    Offer &version(const QString &text)
    {
        e.SetVersion(text.section('.', 0, 0), text.section('.', 1), QString());
        return *this;
    }

    operator DlrManifestElement() const { return e; }

private:
    template<typename T>
    Offer &set(T &field, const T &value)
    {
        field = value;
        return *this;
    }

    DlrManifestElement e;
};

} // namespace TessTest
