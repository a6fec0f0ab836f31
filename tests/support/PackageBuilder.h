#pragma once

// Real Windows Installer packages for the tests: built by tools/products/build_samples.py (wixl),
// the same tool that makes the sample products and the benchmark's package.

#include <QPair>
#include <QStringList>

namespace TessTest {

class PackageBuilder
{
public:
    explicit PackageBuilder(const QString &productName, const QString &version = "1.0.0")
        : productName(productName)
        , version(version)
    {}

    // path: below Program Files, '/'-separated ("Orrel/Product-1.0/bin/tool.exe").
    void addFile(const QString &path, const QByteArray &data) { files.append({path, data}); }
    bool build(const QString &msiPath, QString *error) const;

    // The Directory key the tool gives a folder ("Orrel/Product-1.0"); files are file<index>.
    static QString directoryId(const QString &folder);
    // Random bytes (incompressible) of a given size, the same for the same seed.
    static QByteArray randomBytes(int size, quint32 seed);

private:
    QString productName, version;
    QList<QPair<QString, QByteArray>> files;
};

// Runs a program to its end (bounded), input on its standard input; false, with its output in
// *error when given, when it fails.
bool runTool(const QString &tool, const QStringList &args, QString *error, QByteArray input = {});

} // namespace TessTest
