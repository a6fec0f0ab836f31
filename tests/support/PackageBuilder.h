#pragma once

// Builds real Windows Installer packages for the installer tests with wixl, and edits them
// with msibuild, so the engine is tried on what the toolchain really produces.

#include <QByteArray>
#include <QList>
#include <QString>

namespace TessTest {

struct PackageFile
{
    QString path; // below Program Files, '/'-separated: "Orrel/Product-1.0/bin/tool.exe"
    QByteArray data;
};

class PackageBuilder
{
public:
    explicit PackageBuilder(const QString &productName, const QString &version = "1.0.0");

    void addFile(const QString &path, const QByteArray &data) { files.append({path, data}); }
    // The Directory of the top folders: ProgramFiles64Folder (default) or ProgramFilesFolder.
    void setProgramFilesId(const QString &id) { programFilesId = id; }

    // Writes the payload and the source into a scratch folder next to msiPath, runs wixl.
    bool build(const QString &msiPath, QString *error) const;

    // Runs SQL on a package with msibuild.
    static bool edit(const QString &msiPath, const QString &sql, QString *error);
    // The Directory key wixl was given for a folder path ("Orrel/Product-1.0").
    static QString directoryId(const QString &folder);

    // Random bytes (incompressible) of a given size, the same for the same seed.
    static QByteArray randomBytes(int size, quint32 seed);

private:
    QString productName;
    QString version;
    QString programFilesId = QStringLiteral("ProgramFiles64Folder");
    QList<PackageFile> files;
};

// Runs a program to its end (bounded); false with its output when it fails.
bool runTool(const QString &program,
             const QStringList &arguments,
             QString *error,
             int timeoutMs = 60000,
             const QString &workingDirectory = QString());

} // namespace TessTest
