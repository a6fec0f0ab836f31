#pragma once

// The product list both the manifest and the trust benchmarks read.

#include <QByteArray>
#include <QCryptographicHash>

// A manifest as the service writes it: builds of several major versions, each with a server,
// bridges and a queue manager, every offer with all its fields.
inline QByteArray manifestOf(int offers)
{
    static const char *const kinds[]
            = {"TessalineWorkserver", "TessalineForMaya", "TessalineForHoudini",
               "TessalineForKatana", "TessalineQueueManager"};
    QByteArray doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Manifest>\n";
    for (int i = 0; i < offers; ++i) {
        const QByteArray major = QByteArray::number(20 + (i / 5) % 8);
        const QByteArray minor = QByteArray::number((i / 40) % 10);
        const QByteArray build = QByteArray::number(2000000 + i / 5);
        const QByteArray file
                = QByteArray(kinds[i % 5]) + "-" + major + "." + minor + "_" + build + "-win64.msi";
        doc += "  <ProductInfo>\n    <Name>" + file + "</Name>\n    <SimpleName>" + kinds[i % 5]
               + " " + major + "." + minor + "</SimpleName>\n    <BuildID>" + build
               + "</BuildID>\n    <VersionMajor>" + major + "</VersionMajor>\n    <VersionMinor>"
               + minor + "</VersionMinor>\n    <DefaultBehavior>show</DefaultBehavior>\n"
               + "    <DownloadURL>https://www.tessaline.example/products/" + file
               + "</DownloadURL>\n    <FileSize>" + QByteArray::number(100000000 + i)
               + "</FileSize>\n    <SHA256>"
               + QCryptographicHash::hash(file, QCryptographicHash::Sha256).toHex()
               + "</SHA256>\n  </ProductInfo>\n";
    }
    return doc
           + "  <DLRSuccessURL>https://www.tessaline.example/view/Install-Success"
             "</DLRSuccessURL>\n  <ManifestVersion>42</ManifestVersion>\n"
             "  <ManifestExpires>2099-01-31T00:00:00Z</ManifestExpires>\n</Manifest>\n";
}
