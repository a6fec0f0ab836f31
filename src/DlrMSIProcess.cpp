#include "DlrMSIProcess.h"

#include "DlrPlatform.h"

#include <QDebug>
#include <QThread>

// --- DlrMSIProcess -----------------------------------------------------------------------------

DlrMSIProcess::DlrMSIProcess(QObject *parent)
    : QObject(parent)
{}

DlrMSIProcess::~DlrMSIProcess()
{
    // The worker thread is neither stopped nor waited for: it ends by itself when the
    // installer returns, and deletes the worker and the thread object on its way out.
    output.clear();
}

void DlrMSIProcess::setProcessEnvironment(const QProcessEnvironment &environment)
{
    Q_UNUSED(environment)
}

void DlrMSIProcess::start(const QString &program,
                          const QStringList &arguments,
                          QIODevice::OpenMode mode)
{
    Q_UNUSED(arguments)
    Q_UNUSED(mode)

    auto *thread = new QThread;
    auto *msiWorker = new DlrMSIWorker(program);
    msiWorker->moveToThread(thread);

    connect(msiWorker, &DlrMSIWorker::error, this, &DlrMSIProcess::workerError);
    connect(thread, &QThread::started, msiWorker, &DlrMSIWorker::process);
    connect(msiWorker, &DlrMSIWorker::finished, this, &DlrMSIProcess::workerFinished);
    connect(msiWorker, &DlrMSIWorker::finished, thread, &QThread::quit);
    connect(msiWorker, &DlrMSIWorker::finished, msiWorker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(msiWorker, &DlrMSIWorker::gotOutput, this, &DlrMSIProcess::workerHasOutput);

    worker = msiWorker;
    thread->start(QThread::InheritPriority);

    emit started();
}

QByteArray DlrMSIProcess::readAllStandardOutput()
{
    QByteArray data;
    data.swap(output);
    return data;
}

QByteArray DlrMSIProcess::readAllStandardError()
{
    return QByteArray();
}

void DlrMSIProcess::workerHasOutput(QByteArray data)
{
    output = data;
    emit readyReadStandardOutput();
}

void DlrMSIProcess::workerFinished()
{
    qDebug() << "Subprocess finished";
    emit finished(0, QProcess::NormalExit);
}

void DlrMSIProcess::workerError(QString message)
{
    qDebug() << "Subprocess error" << message;
    emit error(QProcess::UnknownError);
}

// --- DlrMSIWorker ------------------------------------------------------------------------------

namespace {
// No interface of the installer's own, except its dialogs for resolving the package source.
const int UiLevelNoneWithSourceResolution = 0x102;
// Every message kind from fatal exit (0) to show-dialog (14) except files-in-use (5).
const unsigned int MessageFilter = 0x7FDF;
const char *const InstallCommandLine = "ACTION=INSTALL REBOOT=ReallySurpress";
} // namespace

DlrMSIWorker::DlrMSIWorker(const QString &packagePath, QObject *parent)
    : QObject(parent)
    , packagePath(packagePath)
{}

DlrMSIWorker::~DlrMSIWorker()
{
    delete outputBuffer;
}

void DlrMSIWorker::process()
{
    outputBuffer = new QByteArray;
    DlrPlatform::msiSetInternalUI(UiLevelNoneWithSourceResolution, nullptr);
    DlrPlatform::msiSetExternalUIA(&DlrMSIWorker::installerUiHandler, MessageFilter, this);
    // The result is not passed on: the installer's own boxes have told the user already.
    DlrPlatform::msiInstallProductA(packagePath.toLocal8Bit().constData(), InstallCommandLine);
    emit finished();
}

int DlrMSIWorker::installerUiHandler(void *context, unsigned int messageType, const char *message)
{
    auto *self = static_cast<DlrMSIWorker *>(context);
    const unsigned int kind = messageType >> 24;
    const unsigned int flags = messageType & 0x00FFFFFF;

    switch (kind) {
    case 0:
        return DlrPlatform::messageBoxA(message, "FatalError", flags);
    case 1:
        DlrPlatform::messageBeep(flags & 0xF0);
        return DlrPlatform::messageBoxExA(message, "Error", flags,
                                          static_cast<unsigned short>(self->messageLanguage));
    case 2:
        return DlrPlatform::messageBoxA(message, "Warning", flags);
    case 3:
    case 4:
        return 1;
    case 5:
    case 6:
        return 0;
    case 7:
    case 8:
    case 9:
        return 1;
    case 10:
        self->parseProgressMessage(message);
        return 1;
    case 11:
        self->parseCommonData(message);
        return 1;
    case 12:
    case 13:
    case 14:
        return 1;
    default:
        return 0;
    }
}

void DlrMSIWorker::parseCommonData(const char *message)
{
    qDebug() << "Common: " << QString::fromUtf8(message);
}

void DlrMSIWorker::parseProgressMessage(const char *message)
{
    const QByteArray line = progress.apply(message);
    if (line.isEmpty())
        return;
    if (!outputBuffer) // the handler may run before process() when driven on its own
        outputBuffer = new QByteArray;
    *outputBuffer = line;
    emit gotOutput(*outputBuffer);
    outputBuffer->clear();
}
