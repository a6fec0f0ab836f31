#pragma once

// Real Windows Installer packages, built by tools/products/build_samples.py (wixl).

#include "TestSupport.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>

namespace TessTest {

// Runs a program (bounded), input on its standard input; on failure, its output in *error.
inline bool
runTool(const QString &tool, const QStringList &args, QString *error, const QByteArray &input = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool, args);
    process.write(input);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(120000);
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    process.kill();
    process.waitForFinished(1000);
    if (error)
        *error = tool + " failed: " + process.errorString() + '\n' + process.readAll();
    return false;
}

class PackageBuilder
{
public:
    explicit PackageBuilder(const QString &productName, const QString &version = "1.0.0")
        : productName(productName)
        , version(version)
    {}

    // path: below Program Files, '/'-separated ("Orrel/Product-1.0/bin/tool.exe").
    void addFile(const QString &path, const QByteArray &data) { files.append({path, data}); }
    bool build(const QString &msiPath, QString *error) const
    {
        QTemporaryDir payload;
        QStringList arguments{sourceDir() + "/tools/products/build_samples.py",
                              "--package",
                              msiPath,
                              "--name",
                              productName,
                              "--version",
                              version};
        for (int i = 0; i < files.size(); ++i) {
            const QString path
                    = writeFile(payload.filePath(QString::number(i)), files.at(i).second);
            if (path.isEmpty()) {
                *error = "cannot write a file below " + payload.path();
                return false;
            }
            arguments << files.at(i).first + '=' + path;
        }
        return runTool(qEnvironmentVariable("PYTHON3", "python3"), arguments, error);
    }

    // The Directory key the tool gives a folder ("Orrel/Product-1.0"); files are file<index>.
    static QString directoryId(const QString &folder)
    {
        const QByteArray md5 = QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Md5);
        return QStringLiteral("d") + QString::fromLatin1(md5.toHex().left(16));
    }
    // Random bytes (incompressible) of a given size, the same for the same seed.
    static QByteArray randomBytes(int size, quint32 seed)
    {
        QByteArray data((size + 3) & ~3, Qt::Uninitialized);
        QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
        data.truncate(size);
        return data;
    }

private:
    QString productName, version;
    QList<QPair<QString, QByteArray>> files;
};

} // namespace TessTest
