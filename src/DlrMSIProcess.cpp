#include "DlrMSIProcess.h"

#include "DlrInstallerBox.h"
#include "DlrPlatform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

// --- DlrMSIProcess -----------------------------------------------------------------------------

DlrMSIProcess::DlrMSIProcess(QObject *parent)
    : QObject(parent)
{}

DlrMSIProcess::~DlrMSIProcess()
{
    if (thread && thread->isRunning()) {
        // The thread may outlive a worker that has finished by a moment (it still has to end);
        // that is no install to cancel. While a package installs, the worker must not outlive
        // the application it asks for boxes, so the installer is cancelled at its next message
        // (it rolls back what it did) and waited for. A box call already posted to this thread
        // would never be served while it waits: dropping it answers it with nothing, which the
        // installer takes as Abort.
        const bool installing = result->load() < 0;
        if (installing) {
            qInfo() << "Installer object closing while a package installs: cancelling the install";
            cancel->store(true);
        }
        while (!thread->wait(20)) {
            if (installing)
                QCoreApplication::removePostedEvents(QCoreApplication::instance(),
                                                     QEvent::MetaCall);
        }
        delete thread.data();
    }
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

    thread = new QThread;
    auto *msiWorker = new DlrMSIWorker(program);
    msiWorker->setCancelFlag(cancel);
    msiWorker->setResultSlot(result);
    msiWorker->moveToThread(thread);

    connect(msiWorker, &DlrMSIWorker::error, this, &DlrMSIProcess::workerError);
    connect(thread, &QThread::started, msiWorker, &DlrMSIWorker::process);
    connect(msiWorker, &DlrMSIWorker::finished, this, &DlrMSIProcess::workerFinished);
    // Direct: the thread must end even while the user-interface thread waits for it.
    connect(msiWorker, &DlrMSIWorker::finished, thread, &QThread::quit, Qt::DirectConnection);
    connect(msiWorker, &DlrMSIWorker::finished, msiWorker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(msiWorker, &DlrMSIWorker::gotOutput, this, &DlrMSIProcess::workerHasOutput);

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
// No interface of the installer's own, except its dialogs for resolving the package source;
// a run without questions has none at all.
const int UiLevelNoneWithSourceResolution
        = DlrPlatform::INSTALLUILEVEL_NONE | DlrPlatform::INSTALLUILEVEL_SOURCERESONLY;
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
    // Nobody there to answer the installer's own boxes: not even one may show.
    const bool withoutQuestions
            = DlrMessageBox::hasAutomaticAnswer(QLatin1String(DlrBox::InstallerOwnBox));
    const int level
            = withoutQuestions ? DlrPlatform::INSTALLUILEVEL_NONE : UiLevelNoneWithSourceResolution;
    qDebug().noquote() << "Installing" << packagePath
                       << "at the Windows Installer's interface level"
                       << QStringLiteral("0x%1").arg(level, 0, 16);
    DlrPlatform::msiSetInternalUI(level, nullptr);
    DlrPlatform::msiSetExternalUIA(&DlrMSIWorker::installerUiHandler, MessageFilter, this);
    // The result is not passed on: the installer's own boxes have told the user already. It
    // goes to the log, for an installer that fails without a word (Wine's, for one).
    const unsigned int result = DlrPlatform::msiInstallProductA(
            packagePath.toLocal8Bit().constData(), InstallCommandLine);
    if (this->result) // before anything else: from here on the package no longer installs
        this->result->store(int(result));
    qDebug() << "Windows Installer returned" << result;
    if (cancel && cancel->load())
        qInfo().noquote() << QStringLiteral("Installation cancelled as its window closed "
                                            "(installer result %1)")
                                     .arg(result);
    emit finished();
}

int DlrMSIWorker::installerUiHandler(void *context, unsigned int messageType, const char *message)
{
    auto *self = static_cast<DlrMSIWorker *>(context);
    const unsigned int kind = messageType >> 24;
    const unsigned int flags = messageType & 0x00FFFFFF;

    // Asked to stop: every message that can end the install answers cancel, and no box is
    // shown any more.
    const bool canCancel = kind <= 2 || (kind >= 8 && kind <= 10);
    if (canCancel && self->cancel && self->cancel->load())
        return DlrPlatform::AnswerCancel;

    switch (kind) {
    case 0:
    case 1:
    case 2:
        return self->askUser(kind, message, flags);
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

int DlrMSIWorker::askUser(unsigned int kind, const char *message, unsigned int flags)
{
    const char *const caption = kind == 0   ? DlrBox::InstallerFatalError
                                : kind == 1 ? DlrBox::InstallerError
                                            : DlrBox::InstallerWarning;
    // A run without questions answers here, on this thread, as the Windows Installer's own
    // quiet mode would: no box, and no wait for one.
    QMessageBox::StandardButton automatic = QMessageBox::NoButton;
    const DlrMessageBox::Spec box = DlrInstallerBox::spec(
            QLatin1String(caption), QString::fromLocal8Bit(message ? message : ""), flags);
    if (DlrMessageBox::answerAutomatically(box, &automatic))
        return DlrInstallerBox::answerCode(automatic, flags);
    if (kind != 1)
        return DlrPlatform::messageBoxA(message, caption, flags);
    DlrPlatform::messageBeep(flags & DlrPlatform::BoxIconMask);
    return DlrPlatform::messageBoxExA(message, caption, flags,
                                      static_cast<unsigned short>(messageLanguage));
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
