#include "EngineRecorder.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QTemporaryDir>

#include <csignal>
#include <sys/stat.h>

namespace TessTest {

namespace {
int record(void *context, unsigned int messageType, const char *message)
{
    auto *self = static_cast<EngineRecorder *>(context);
    const EngineMessage m{messageType >> 24, messageType & 0x00FFFFFF, message};
    self->messages.append(m);
    if (m.kind <= 2)
        return self->answerBox ? self->answerBox(m) : DlrPlatform::AnswerOk;
    return m.kind == 10 && self->answerProgress ? self->answerProgress(m) : 1;
}
} // namespace

unsigned int
EngineRecorder::install(const QString &package, unsigned int filter, const char *commandLine)
{
    DlrPlatform::msiSetInternalUI(DlrPlatform::INSTALLUILEVEL_NONE, nullptr);
    DlrPlatform::msiSetExternalUIA(&record, filter, this);
    const unsigned int result
            = DlrPlatform::msiInstallProductA(package.toLocal8Bit().constData(), commandLine);
    DlrPlatform::msiSetExternalUIA(nullptr, 0, nullptr);
    return result;
}

QList<EngineMessage> EngineRecorder::ofKind(unsigned int kind) const
{
    QList<EngineMessage> result;
    for (const EngineMessage &m : messages) {
        if (m.kind == kind)
            result.append(m);
    }
    return result;
}

QMap<QString, QString> snapshot(const QString &folder)
{
    QMap<QString, QString> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QString &entry = entries[path.mid(folder.size() + 1)];
        struct stat st;
        QFile file(path);
        if (QFileInfo(path).isDir()) {
            entry = QStringLiteral("dir");
            continue;
        }
        ::stat(QFile::encodeName(path).constData(), &st);
        entry = QString::number(st.st_mode & 07777, 8) + QLatin1Char(':')
                + (file.open(QIODevice::ReadOnly)
                           ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1)
                                     .toHex()
                           : QByteArray("unreadable"));
    }
    return entries;
}

QString newMachine(QScopedPointer<QTemporaryDir> &machine)
{
    machine.reset(new QTemporaryDir);
    qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine->path()));
    QString programFiles;
    DlrPlatform::programFilesFolder(&programFiles);
    return programFiles;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limit{bytes, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
}

} // namespace TessTest
