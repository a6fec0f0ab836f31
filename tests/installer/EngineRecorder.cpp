#include "EngineRecorder.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <sys/stat.h>

namespace TessTest {

int EngineRecorder::handler(void *context, unsigned int messageType, const char *message)
{
    auto *self = static_cast<EngineRecorder *>(context);
    EngineMessage m;
    m.kind = messageType >> 24;
    m.flags = messageType & 0x00FFFFFF;
    m.text = QByteArray(message ? message : "");
    self->messages.append(m);
    switch (m.kind) {
    case 0:
    case 1:
    case 2:
        return self->answerBox ? self->answerBox(m) : DlrPlatform::IDOK;
    case 10:
        return self->answerProgress ? self->answerProgress(m) : 1;
    default:
        return 1;
    }
}

unsigned int
EngineRecorder::install(const QString &package, unsigned int filter, const char *commandLine)
{
    DlrPlatform::msiSetInternalUI(0x102, nullptr);
    DlrPlatform::msiSetExternalUIA(&EngineRecorder::handler, filter, this);
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

QList<unsigned int> EngineRecorder::kindSequence() const
{
    QList<unsigned int> kinds;
    for (const EngineMessage &m : messages) {
        if (kinds.isEmpty() || kinds.last() != m.kind)
            kinds.append(m.kind);
    }
    return kinds;
}

QMap<QString, QString> snapshot(const QString &folder)
{
    QMap<QString, QString> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(folder.size() + 1);
        const QFileInfo info(path);
        if (info.isDir()) {
            entries.insert(relative, QStringLiteral("dir"));
            continue;
        }
        struct stat st;
        ::stat(QFile::encodeName(path).constData(), &st);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        entries.insert(relative, QString::number(st.st_mode & 07777, 8) + QLatin1Char(':')
                                         + QString::fromLatin1(
                                                 QCryptographicHash::hash(file.readAll(),
                                                                          QCryptographicHash::Sha1)
                                                         .toHex()));
    }
    return entries;
}

void InstallerTestCase::newMachine()
{
    machine.reset(new QTemporaryDir);
    qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine->path()));
    DlrPlatform::programFilesFolder(&programFiles);
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

void FileSizeLimit::lift()
{
    setrlimit(RLIMIT_FSIZE, &saved);
}

} // namespace TessTest
