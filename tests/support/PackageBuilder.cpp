#include "PackageBuilder.h"

#include "TestSupport.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>

namespace TessTest {

bool runTool(const QString &program, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) {
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
    const QByteArray md5 = QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Md5);
    return QStringLiteral("d") + QString::fromLatin1(md5.toHex().left(16));
}

QByteArray PackageBuilder::randomBytes(int size, quint32 seed)
{
    QByteArray data((size + 3) & ~3, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    data.truncate(size);
    return data;
}

bool PackageBuilder::build(const QString &msiPath, QString *error) const
{
    QTemporaryDir payload;
    QStringList arguments{sourceDir() + QStringLiteral("/tools/products/build_samples.py"),
                          QStringLiteral("--package"),
                          msiPath,
                          QStringLiteral("--name"),
                          productName,
                          QStringLiteral("--version"),
                          version,
                          QStringLiteral("--program-files"),
                          programFilesId};
    for (int i = 0; i < files.size(); ++i) {
        QFile out(payload.filePath(QString::number(i)));
        if (!out.open(QIODevice::WriteOnly)
            || out.write(files.at(i).second) != files.at(i).second.size()) {
            *error = QStringLiteral("cannot write ") + out.fileName();
            return false;
        }
        arguments << files.at(i).first + QLatin1Char('=') + out.fileName();
    }
    const QString python = qEnvironmentVariable("PYTHON3", QStringLiteral("python3"));
    return runTool(python, arguments, error);
}

bool PackageBuilder::edit(const QString &msiPath, const QString &sql, QString *error)
{
    return runTool(QStringLiteral("msibuild"), {msiPath, QStringLiteral("-q"), sql}, error);
}

} // namespace TessTest
