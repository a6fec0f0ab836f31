#include "PackageBuilder.h"

#include "TestSupport.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>

namespace TessTest {

bool runTool(const QString &tool, const QStringList &args, QString *error, QByteArray input)
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
    QStringList arguments{sourceDir() + "/tools/products/build_samples.py", "--package", msiPath};
    arguments << "--name" << productName << "--version" << version;
    for (int i = 0; i < files.size(); ++i) {
        QFile out(payload.filePath(QString::number(i)));
        if (!out.open(QIODevice::WriteOnly)
            || out.write(files.at(i).second) != files.at(i).second.size()) {
            *error = "cannot write " + out.fileName();
            return false;
        }
        arguments << files.at(i).first + '=' + out.fileName();
    }
    return runTool(qEnvironmentVariable("PYTHON3", "python3"), arguments, error);
}

} // namespace TessTest
