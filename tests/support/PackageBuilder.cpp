#include "PackageBuilder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QUuid>

#include <functional>

namespace TessTest {

bool runTool(const QString &program,
             const QStringList &arguments,
             QString *error,
             int timeoutMs,
             const QString &workingDirectory)
{
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        *error = program + QStringLiteral(" did not finish: ") + process.errorString();
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    return true;
}

PackageBuilder::PackageBuilder(const QString &productName, const QString &version)
    : productName(productName)
    , version(version)
{}

QString PackageBuilder::directoryId(const QString &folder)
{
    return QStringLiteral("d")
           + QString::fromLatin1(QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Md5)
                                         .toHex()
                                         .left(16));
}

QByteArray PackageBuilder::randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; i += 4) {
        const quint32 word = generator.generate();
        for (int k = 0; k < 4 && i + k < size; ++k)
            data[i + k] = static_cast<char>((word >> (8 * k)) & 0xFF);
    }
    return data;
}

namespace {
QString xmlEscaped(const QString &text)
{
    return text.toHtmlEscaped();
}

struct Folder
{
    QMap<QString, Folder> children;
    QList<int> files;
};
} // namespace

bool PackageBuilder::build(const QString &msiPath, QString *error) const
{
    const QFileInfo msiInfo(msiPath);
    const QString scratch
            = msiInfo.absolutePath() + QStringLiteral("/.src-") + msiInfo.completeBaseName();
    QDir(scratch).removeRecursively();
    if (!QDir().mkpath(scratch + QStringLiteral("/payload"))) {
        *error = QStringLiteral("cannot create ") + scratch;
        return false;
    }

    // The folder tree of the payload, from the files' paths.
    Folder root;
    for (int i = 0; i < files.size(); ++i) {
        const QString path = scratch + QStringLiteral("/payload/f") + QString::number(i);
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly)
            || out.write(files.at(i).data) != files.at(i).data.size()) {
            *error = QStringLiteral("cannot write ") + path;
            return false;
        }
        QStringList parts = files.at(i).path.split(QLatin1Char('/'));
        parts.removeLast();
        Folder *folder = &root;
        for (const QString &part : parts)
            folder = &folder->children[part];
        folder->files.append(i);
    }

    QString components;
    QString refs;
    std::function<void(const Folder &, const QString &, int)> writeFolder = [&](const Folder
                                                                                        &folder,
                                                                                const QString &path,
                                                                                int depth) {
        const QString indent(depth * 2, QLatin1Char(' '));
        for (int i : folder.files) {
            const QString name = files.at(i).path.section(QLatin1Char('/'), -1);
            components
                    += indent
                       + QStringLiteral("<Component Id=\"c%1\" Guid=\"%2\" Win64=\"yes\">"
                                        "<File Id=\"file%1\" Name=\"%3\" Source=\"%4\" "
                                        "KeyPath=\"yes\"/></Component>\n")
                                 .arg(i)
                                 .arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())
                                 .arg(xmlEscaped(name))
                                 .arg(QStringLiteral("payload/f") + QString::number(i));
            refs += QStringLiteral("<ComponentRef Id=\"c%1\"/>").arg(i);
        }
        for (auto it = folder.children.constBegin(); it != folder.children.constEnd(); ++it) {
            const QString childPath
                    = path.isEmpty() ? it.key() : path + QLatin1Char('/') + it.key();
            components += indent
                          + QStringLiteral("<Directory Id=\"%1\" Name=\"%2\">\n")
                                    .arg(directoryId(childPath), xmlEscaped(it.key()));
            writeFolder(it.value(), childPath, depth + 1);
            components += indent + QStringLiteral("</Directory>\n");
        }
    };
    writeFolder(root, QString(), 4);

    const QString cabinet
            = QStringLiteral("<Media Id=\"1\" Cabinet=\"payload.cab\" EmbedCab=\"yes\"/>");
    const QString source
            = QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                             "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
                             "<Product Id=\"*\" Name=\"%1\" Language=\"1033\" Version=\"%2\" "
                             "Manufacturer=\"Orrel\" UpgradeCode=\"%3\">\n"
                             "<Package InstallerVersion=\"200\" Compressed=\"yes\" "
                             "InstallScope=\"perMachine\"/>\n"
                             "%4\n"
                             "<Directory Id=\"TARGETDIR\" Name=\"SourceDir\">\n"
                             "  <Directory Id=\"%5\">\n%6  </Directory>\n"
                             "</Directory>\n"
                             "<Feature Id=\"Complete\" Level=\"1\">%7</Feature>\n"
                             "</Product>\n</Wix>\n")
                      .arg(xmlEscaped(productName), version,
                           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), cabinet,
                           programFilesId, components, refs);
    const QString wxs = scratch + QStringLiteral("/product.wxs");
    QFile wxsFile(wxs);
    if (!wxsFile.open(QIODevice::WriteOnly) || wxsFile.write(source.toUtf8()) < 0) {
        *error = QStringLiteral("cannot write ") + wxs;
        return false;
    }
    wxsFile.close();
    const bool ok = runTool(QStringLiteral("wixl"),
                            {QStringLiteral("-a"), QStringLiteral("x64"), QStringLiteral("-o"),
                             msiInfo.absoluteFilePath(), QStringLiteral("product.wxs")},
                            error, 60000,
                            scratch); // wixl wants sources relative to where it runs
    QDir(scratch).removeRecursively();
    return ok;
}

bool PackageBuilder::edit(const QString &msiPath, const QString &sql, QString *error)
{
    return runTool(QStringLiteral("msibuild"), {msiPath, QStringLiteral("-q"), sql}, error);
}

} // namespace TessTest
