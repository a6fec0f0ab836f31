// GLib headers come before Qt's: gio has members named "signals".
#include <gio/gio.h>

#include "MsiEngine.h"

#include "GlibPtr.h"
#include "MsiCabinet.h"
#include "MsiPackage.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTime>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace DlrPlatform {

namespace {
const unsigned int CodePage = 1252;
// Progress reports while bytes are written come at most this often.
const int ReportIntervalMs = 25;
// The handler keeps its counts in an int; totals stay well below that.
const qint64 MaxTicks = qint64(1) << 30;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool isExecutableName(const QString &name)
{
    return name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}

mode_t modeFor(const MsiFileEntry &file)
{
    const int ReadOnlyAttribute = 0x1;
    mode_t mode = isExecutableName(file.fileName) ? 0755 : 0644;
    if (file.attributes & ReadOnlyAttribute)
        mode &= ~mode_t(0222);
    return mode;
}

// The deepest folder of path that exists, canonical.
QString existingCanonicalAncestor(const QString &path)
{
    QFileInfo info(path);
    while (!info.exists() && info.absoluteFilePath() != QLatin1String("/"))
        info = QFileInfo(info.absolutePath());
    return info.canonicalFilePath();
}

bool isInside(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// The installer's texts for what goes wrong; the detail says what was found.
QString packageMissingText(const QString &detail)
{
    return QStringLiteral("This installation package could not be opened. Verify that the "
                          "package exists and that you can access it, or contact the "
                          "application vendor to verify that this is a valid Windows Installer "
                          "package.\n\n%1")
            .arg(detail);
}

QString packageInvalidText(const QString &detail)
{
    return QStringLiteral("This installation package could not be opened. Contact the "
                          "application vendor to verify that this is a valid Windows Installer "
                          "package.\n\n%1")
            .arg(detail);
}

QString cabinetMissingText(const QString &cabinet, const QString &detail)
{
    return QStringLiteral("Error 1311. Source file not found (cabinet): %1. Verify that the "
                          "file exists and that you can access it.\n\n%2")
            .arg(cabinet, detail);
}

QString cabinetCorruptText(const QString &cabinet, const QString &detail)
{
    return QStringLiteral("Error 1335. The cabinet file '%1' required for this installation is "
                          "corrupt and cannot be used.\n\n%2")
            .arg(cabinet, detail);
}
} // namespace

MsiEngine::MsiEngine(const MsiUiSettings &ui, const QString &programFiles)
    : ui(ui)
    , programFiles(QDir::cleanPath(programFiles))
{}

MsiEngine::~MsiEngine() = default;

// --- Pure helpers ----------------------------------------------------------------------------

bool MsiEngine::parseCommandLine(const QString &commandLine,
                                 QList<QPair<QString, QString>> *properties)
{
    int i = 0;
    const int n = commandLine.size();
    while (i < n) {
        while (i < n && commandLine.at(i).isSpace())
            ++i;
        if (i >= n)
            break;
        const int nameStart = i;
        while (i < n && commandLine.at(i) != QLatin1Char('=') && !commandLine.at(i).isSpace())
            ++i;
        if (i >= n || commandLine.at(i) != QLatin1Char('=') || i == nameStart)
            return false;
        const QString name = commandLine.mid(nameStart, i - nameStart);
        ++i; // '='
        QString value;
        if (i < n && commandLine.at(i) == QLatin1Char('"')) {
            ++i;
            bool closed = false;
            while (i < n) {
                if (commandLine.at(i) == QLatin1Char('"')) {
                    // A doubled quote stands for one quote inside the value.
                    if (i + 1 < n && commandLine.at(i + 1) == QLatin1Char('"')) {
                        value += QLatin1Char('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += commandLine.at(i++);
            }
            if (!closed)
                return false;
        } else {
            while (i < n && !commandLine.at(i).isSpace())
                value += commandLine.at(i++);
        }
        properties->append({name, value});
    }
    return true;
}

QByteArray MsiEngine::recordText(std::initializer_list<qint64> fields)
{
    QByteArray text;
    int number = 1;
    for (qint64 value : fields) {
        text += QByteArray::number(number++) + ": " + QByteArray::number(value) + ' ';
    }
    return text;
}

qint64 MsiEngine::tickUnitFor(qint64 totalBytes)
{
    return totalBytes <= MaxTicks ? 1 : (totalBytes + MaxTicks - 1) / MaxTicks;
}

qint64 MsiEngine::ticksFor(qint64 bytes, qint64 unit)
{
    return bytes / unit;
}

// --- Messages ----------------------------------------------------------------------------------

int MsiEngine::send(unsigned int kind, unsigned int flags, const QByteArray &text)
{
    int answer = 0;
    const unsigned int kindNumber = kind >> 24;
    if (ui.handler && kindNumber < 32 && (ui.filter & (1u << kindNumber)))
        answer = ui.handler(ui.context, kind | flags, text.constData());

    const bool isBox = kind == INSTALLMESSAGE_FATALEXIT || kind == INSTALLMESSAGE_ERROR
                       || kind == INSTALLMESSAGE_WARNING || kind == INSTALLMESSAGE_USER;
    const int level = ui.level & 0x7;
    if (answer == 0 && isBox && level != INSTALLUILEVEL_NONE) {
        // Nobody handled it: the installer's own interface shows it.
        answer = messageBoxA(text.constData(), caption.toLocal8Bit().constData(), flags);
    }
    // As the Windows Installer does, a cancel answer to a step stops the install.
    const bool isStep = kind == INSTALLMESSAGE_ACTIONSTART || kind == INSTALLMESSAGE_ACTIONDATA;
    if (isStep && answer == AnswerCancel)
        cancelRequested = true;
    return answer;
}

int MsiEngine::sendError(unsigned int flags, const QString &text)
{
    qWarning() << "MSI engine error:" << text;
    int answer = send(INSTALLMESSAGE_ERROR, flags, text.toLocal8Bit());
    if (answer == 0) {
        // Unanswered: an OK box counts as acknowledged, any other question as aborted.
        answer = (flags & BoxTypeMask) == BoxOk ? AnswerOk : AnswerAbort;
    }
    qDebug() << "MSI engine error answered with" << answer;
    return answer;
}

int MsiEngine::askAboutWriteError(const QString &path, const QString &detail)
{
    return sendError(BoxAbortRetryIgnore | BoxIconError,
                     QStringLiteral("Error 1310. Error writing to file: %1. Verify that you have "
                                    "access to that directory.\n\n%2")
                             .arg(QDir::toNativeSeparators(path), detail));
}

void MsiEngine::sendInfo(const QString &text)
{
    qDebug() << "MSI engine:" << text;
    send(INSTALLMESSAGE_INFO, 0, text.toLocal8Bit());
}

void MsiEngine::sendActionStart(const char *action, const char *description)
{
    const QString text = QStringLiteral("Action %1: %2. %3")
                                 .arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")),
                                      QLatin1String(action), QLatin1String(description));
    qDebug() << "MSI engine:" << text;
    send(INSTALLMESSAGE_ACTIONSTART, 0, text.toLocal8Bit());
}

int MsiEngine::sendProgress(std::initializer_list<qint64> fields)
{
    const int answer = send(INSTALLMESSAGE_PROGRESS, 0, recordText(fields));
    if (answer == AnswerCancel) {
        qDebug() << "MSI engine: cancel asked for through a progress message";
        cancelRequested = true;
    }
    return answer;
}

MsiEngine::Outcome MsiEngine::outcomeOfAnswer(int answer) const
{
    return answer == AnswerCancel ? Outcome::Cancelled : Outcome::Failed;
}

// --- The install -------------------------------------------------------------------------------

unsigned int MsiEngine::install(const QString &packagePath, const QString &commandLine)
{
    qDebug() << "MSI engine: installing" << packagePath << "with" << commandLine << "into"
             << programFiles;
    caption = QStringLiteral("Windows Installer");
    send(INSTALLMESSAGE_INITIALIZE, 0, QByteArray());

    QList<QPair<QString, QString>> properties;
    if (!parseCommandLine(commandLine, &properties)) {
        sendError(BoxOk | BoxIconError,
                  QStringLiteral("Invalid command line argument: %1").arg(commandLine));
        return finish(InstallInvalidCommandLine, QString());
    }
    QString action = QStringLiteral("INSTALL");
    for (const auto &property : qAsConst(properties)) {
        if (property.first == QLatin1String("ACTION")) {
            action = property.second;
        } else if (property.first == QLatin1String("REBOOT")) {
            // Nothing installed here ever needs a restart, so every value is honoured by
            // not restarting.
            qDebug() << "MSI engine: REBOOT =" << property.second << "- no restart needed";
        } else {
            qDebug() << "MSI engine: property" << property.first << "=" << property.second
                     << "is not used on this platform";
        }
    }

    MsiPackage package;
    QString reason;
    const MsiPackage::Status status = package.open(packagePath, &reason);
    send(INSTALLMESSAGE_COMMONDATA, 0, recordText({0, 1033, CodePage}));
    if (status == MsiPackage::Status::CannotOpen) {
        sendError(BoxOk | BoxIconError, packageMissingText(reason));
        return finish(InstallPackageOpenFailed, QString());
    }
    if (status == MsiPackage::Status::Invalid) {
        sendError(BoxOk | BoxIconError, packageInvalidText(reason));
        return finish(InstallPackageInvalid, QString());
    }

    const QString productName = package.property(QStringLiteral("ProductName"));
    caption = productName.isEmpty() ? caption : productName;
    const QByteArray language = package.property(QStringLiteral("ProductLanguage")).toLatin1();
    send(INSTALLMESSAGE_COMMONDATA, 0,
         recordText({0, language.isEmpty() ? 1033 : language.toLongLong(), CodePage}));
    send(INSTALLMESSAGE_COMMONDATA, 0, "1: 1 2: " + caption.toLocal8Bit() + ' ');
    send(INSTALLMESSAGE_COMMONDATA, 0, recordText({2, 1}));
    sendInfo(QStringLiteral("Product: %1 %2 by %3")
                     .arg(productName, package.property(QStringLiteral("ProductVersion")),
                          package.property(QStringLiteral("Manufacturer"))));

    if (action != QLatin1String("INSTALL")) {
        sendError(BoxOk | BoxIconError,
                  QStringLiteral("The action %1 is not supported here; only INSTALL is.")
                          .arg(action));
        return finish(InstallFailure, productName);
    }

    if (!checkTargetsInside(package, &reason)) {
        sendError(BoxOk | BoxIconError, packageInvalidText(reason));
        return finish(InstallPackageInvalid, productName);
    }

    // Script generation: every file is checked against its cabinet before anything is written.
    sendActionStart("CostFinalize", "Computing space requirements");
    const QList<MsiFileEntry> &entries = package.files();
    sendProgress({0, entries.size(), 0, 1});
    if (!prepareCabinets(package))
        return finish(InstallFailure, productName);
    for (int i = 0; i < entries.size(); ++i)
        sendProgress({2, 1});
    if (cancelRequested)
        return finish(InstallUserExit, productName);

    totalBytes = 0;
    for (const MsiFileEntry &file : entries)
        totalBytes += file.size;
    tickUnit = tickUnitFor(totalBytes);
    qint64 available = 0;
    QDir().mkpath(programFiles);
    if (freeDiskSpace(programFiles, &available) && available < totalBytes) {
        qDebug() << "MSI engine: only" << available << "bytes free for" << totalBytes;
        send(INSTALLMESSAGE_OUTOFDISKSPACE, 0, QByteArray());
    }

    // Execution: the files are written, then moved into place.
    sendActionStart("InstallFiles", "Copying new files");
    sendProgress({0, ticksFor(totalBytes, tickUnit), 0, 0});
    sendProgress({1, 0, 0});

    Outcome outcome = createStaging();
    if (outcome == Outcome::Done)
        outcome = extractFiles(package);
    if (outcome == Outcome::Done)
        outcome = commit(package);
    if (outcome != Outcome::Done) {
        rollback();
        return finish(outcome == Outcome::Cancelled ? InstallUserExit : InstallFailure,
                      productName);
    }
    QDir(staging).removeRecursively();
    return finish(InstallSuccess, productName);
}

unsigned int MsiEngine::finish(unsigned int code, const QString &knownName)
{
    const QString productName = knownName.isEmpty() ? QStringLiteral("(unknown)") : knownName;
    if (code == InstallSuccess)
        sendInfo(QStringLiteral("Product: %1 -- Installation completed successfully.")
                         .arg(productName));
    else
        sendInfo(QStringLiteral("Product: %1 -- Installation failed.").arg(productName));
    sendInfo(QStringLiteral("Windows Installer installed the product. Product Name: %1. "
                            "Installation success or error status: %2.")
                     .arg(productName)
                     .arg(code));
    send(INSTALLMESSAGE_TERMINATE, 0, QByteArray());
    qDebug() << "MSI engine: finished with" << code;
    return code;
}

bool MsiEngine::checkTargetsInside(const MsiPackage &package, QString *reason) const
{
    // The tables were checked by name; a symbolic link on the way could still lead elsewhere.
    const QString root = existingCanonicalAncestor(programFiles);
    QHash<QString, bool> checked;
    for (const MsiFileEntry &file : package.files()) {
        const QString folder = QFileInfo(targetPath(file)).absolutePath();
        if (checked.contains(folder))
            continue;
        checked.insert(folder, true);
        const QString real = existingCanonicalAncestor(folder);
        if (!isInside(real, root) && !isInside(root, real)) {
            *reason = QStringLiteral("%1 leads outside Program Files (to %2)").arg(folder, real);
            return false;
        }
    }
    return true;
}

std::unique_ptr<MsiCabinet> MsiEngine::loadCabinet(const MsiPackage &package,
                                                   const MsiMediaEntry &media)
{
    QString reason;
    GRef<GInputStream> stream(package.openCabinet(media, &reason));
    if (!stream) {
        sendError(BoxOk | BoxIconError, cabinetMissingText(media.cabinet, reason));
        return nullptr;
    }
    auto cabinet = std::make_unique<MsiCabinet>(stream.get());
    if (!cabinet->load(&reason)) {
        sendError(BoxOk | BoxIconError, cabinetCorruptText(media.cabinet, reason));
        return nullptr;
    }
    return cabinet;
}

bool MsiEngine::prepareCabinets(MsiPackage &package)
{
    QHash<QString, qint64> sizes;
    for (const MsiMediaEntry &media : package.media()) {
        if (!package.holdsFiles(media))
            continue;
        const std::unique_ptr<MsiCabinet> cabinet = loadCabinet(package, media);
        if (!cabinet)
            return false;
        const QHash<QString, qint64> found = cabinet->fileSizes();
        for (auto it = found.constBegin(); it != found.constEnd(); ++it)
            sizes.insert(it.key(), it.value());
    }
    for (MsiFileEntry &file : package.files()) {
        if (!sizes.contains(file.key)) {
            sendError(BoxOk | BoxIconError,
                      cabinetCorruptText(
                              package.mediaFor(file)->cabinet,
                              QStringLiteral("file %1 is not in the cabinet").arg(file.key)));
            return false;
        }
        file.size = sizes.value(file.key);
    }
    return true;
}

QString MsiEngine::stagedPath(int index) const
{
    return staging + QStringLiteral("/f%1").arg(index, 6, 10, QLatin1Char('0'));
}

QString MsiEngine::targetPath(const MsiFileEntry &file) const
{
    return programFiles + QLatin1Char('/') + file.relativePath;
}

void MsiEngine::removeAbandonedStaging()
{
    const QStringList names = QDir(programFiles)
                                      .entryList({QStringLiteral(".tessinstall-*")},
                                                 QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const qint64 pid = name.section(QLatin1Char('-'), 1, 1).toLongLong();
        if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue; // its installer may still be running
        qDebug() << "MSI engine: removing" << name << "left by an install that did not end";
        undoJournal(programFiles + QLatin1Char('/') + name);
        QDir(programFiles + QLatin1Char('/') + name).removeRecursively();
    }
}

MsiEngine::Outcome MsiEngine::createStaging()
{
    removeAbandonedStaging();
    for (;;) {
        // The process id in the name lets a later install clear what a killed one left.
        const QByteArray pattern = QFile::encodeName(
                programFiles + QStringLiteral("/.tessinstall-%1-XXXXXX").arg(::getpid()));
        QByteArray buffer = pattern;
        if (QDir().mkpath(programFiles) && ::mkdtemp(buffer.data())) {
            staging = QFile::decodeName(buffer);
            qDebug() << "MSI engine: staging in" << staging;
            return Outcome::Done;
        }
        const int answer = askAboutWriteError(programFiles, errnoText());
        if (answer != AnswerRetry) // nothing can be left out here: Ignore stops the install too
            return outcomeOfAnswer(answer);
    }
}

void MsiEngine::reportWritten(bool force, bool last)
{
    if (!force && sinceReport.isValid() && sinceReport.elapsed() < ReportIntervalMs)
        return;
    qint64 written = 0;
    for (int i = 0; i < files->size(); ++i) {
        if (complete.at(i) || skipped.at(i))
            written += files->at(i).size;
    }
    if (current >= 0 && !complete.at(current) && !skipped.at(current)) {
        struct stat info;
        if (::stat(QFile::encodeName(stagedPath(current)).constData(), &info) == 0)
            written += qMin<qint64>(info.st_size, files->at(current).size);
    }
    const qint64 ticks = ticksFor(written, tickUnit);
    // Report at least half a percent at a time: a step the bar can show, not a message for
    // every buffer written.
    if (!last && (ticks - ticksReported) * 200 < ticksFor(totalBytes, tickUnit))
        return;
    sinceReport.start();
    if (ticks > ticksReported) {
        const qint64 delta = ticks - ticksReported;
        ticksReported = ticks;
        sendProgress({2, delta});
    }
}

MsiEngine::Outcome MsiEngine::extractFiles(MsiPackage &package)
{
    files = &package.files();
    complete = QVector<bool>(files->size(), false);
    skipped = QVector<bool>(files->size(), false);
    indexByKey.clear();
    for (int i = 0; i < files->size(); ++i)
        indexByKey.insert(files->at(i).key, i);
    ticksReported = 0;
    sinceReport.invalidate();

    MsiCabinet::Hooks hooks;
    hooks.extractName = [this](const QString &name) -> QString {
        const int index = indexByKey.value(name, -1);
        if (index < 0 || complete.at(index) || skipped.at(index))
            return QString();
        return QFileInfo(stagedPath(index)).fileName();
    };
    hooks.fileStarts = [this](const QString &name) {
        // The file before this one has been written in full.
        if (current >= 0 && !skipped.at(current))
            complete[current] = true;
        current = indexByKey.value(name);
        const MsiFileEntry &file = files->at(current);
        const QString folder = QFileInfo(targetPath(file)).absolutePath();
        send(INSTALLMESSAGE_ACTIONDATA, 0,
             QStringLiteral("File: %1,  Directory: %2,  Size: %3")
                     .arg(file.fileName, QDir::toNativeSeparators(folder + QLatin1Char('/')))
                     .arg(file.size)
                     .toLocal8Bit());
        reportWritten(true);
    };
    hooks.poll = [this]() -> bool {
        reportWritten(false);
        return !cancelRequested;
    };

    for (const MsiMediaEntry &media : package.media()) {
        if (!package.holdsFiles(media))
            continue;
        const std::unique_ptr<MsiCabinet> cabinet = loadCabinet(package, media);
        if (!cabinet)
            return Outcome::Failed;
        QString reason;
        for (;;) {
            current = -1;
            const MsiCabinet::Failure failure = cabinet->extract(staging, hooks, &reason);
            if (failure == MsiCabinet::Failure::None) {
                if (current >= 0 && !skipped.at(current))
                    complete[current] = true;
                current = -1;
                break;
            }
            if (failure == MsiCabinet::Failure::Cancelled)
                return Outcome::Cancelled;
            if (failure == MsiCabinet::Failure::Corrupt) {
                sendError(BoxOk | BoxIconError, cabinetCorruptText(media.cabinet, reason));
                return Outcome::Failed;
            }
            const QString failing = current >= 0 ? targetPath(files->at(current)) : staging;
            const int answer = askAboutWriteError(failing, reason);
            if (current >= 0)
                QFile::remove(stagedPath(current));
            if (answer == AnswerRetry)
                continue;
            if (answer == AnswerIgnore && current >= 0) {
                qDebug() << "MSI engine: leaving out" << failing;
                skipped[current] = true;
                continue;
            }
            return outcomeOfAnswer(answer);
        }
    }
    reportWritten(true, true);
    // Whatever is left (files of size 0 only) brings the count to its total.
    const qint64 rest = ticksFor(totalBytes, tickUnit) - ticksReported;
    if (rest > 0) {
        ticksReported += rest;
        sendProgress({2, rest});
    }
    return cancelRequested ? Outcome::Cancelled : Outcome::Done;
}

// The highest folder on the way to path (below Program Files) that does not exist yet: the
// whole of it can arrive with one rename. Empty when path's folder exists.
QString MsiEngine::newestMissingFolder(const QString &path) const
{
    QString missing;
    for (QString f = QFileInfo(path).absolutePath();
         f != programFiles && isInside(f, programFiles) && !QFileInfo::exists(f);
         f = QFileInfo(f).absolutePath())
        missing = f;
    return missing;
}

QString MsiEngine::journalPath() const
{
    return staging + QStringLiteral("/journal");
}

// What a move is about to do goes to the journal first, so that a later install can undo the
// moves of one that was killed half-way (removeAbandonedStaging).
bool MsiEngine::journal(const QByteArray &line)
{
    QFile file(journalPath());
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(line + '\n') > 0
           && file.flush();
}

// Files into folders that exist are moved one by one, each replaced file kept aside until the
// end. Files below folders that do not exist yet are gathered in a tree inside the staging
// folder first, and each such folder then arrives with one rename: a fresh install is in place
// all at once or not at all.
MsiEngine::Outcome MsiEngine::commit(MsiPackage &package)
{
    sendActionStart("InstallFinalize", "Moving files into place");
    if (cancelRequested)
        return Outcome::Cancelled;
    moves.clear();
    newFolders.clear();
    const QString backups = staging + QStringLiteral("/replaced");
    const QString tree = staging + QStringLiteral("/tree");
    for (int i = 0; i < package.files().size(); ++i) {
        if (skipped.at(i))
            continue;
        const MsiFileEntry &file = package.files().at(i);
        const QString target = targetPath(file);
        const QString root = newestMissingFolder(target);
        for (;;) {
            QString why;
            const QByteArray staged = QFile::encodeName(stagedPath(i));
            bool ok = ::chmod(staged.constData(), modeFor(file)) == 0;
            if (!ok)
                why = errnoText();
            if (ok && !root.isEmpty()) {
                const QString inTree = tree + target.mid(programFiles.size());
                ok = QDir().mkpath(QFileInfo(inTree).absolutePath())
                     && ::rename(staged.constData(), QFile::encodeName(inTree).constData()) == 0;
                if (!ok)
                    why = errnoText();
                else if (!newFolders.contains(root))
                    newFolders.append(root);
                break;
            }
            Move move{target, QString()};
            if (ok && QFileInfo::exists(target)) {
                QDir().mkpath(backups);
                move.backup = backups + QStringLiteral("/f%1").arg(i);
            }
            ok = ok
                 && journal("file\t" + QFile::encodeName(stagedPath(i)) + '\t'
                            + QFile::encodeName(target) + '\t' + QFile::encodeName(move.backup));
            if (ok && !move.backup.isEmpty()
                && ::rename(QFile::encodeName(target).constData(),
                            QFile::encodeName(move.backup).constData())
                           != 0) {
                why = errnoText();
                ok = false;
                move.backup.clear();
            }
            if (ok && ::rename(staged.constData(), QFile::encodeName(target).constData()) != 0) {
                why = errnoText();
                ok = false;
                if (!move.backup.isEmpty()) // put the old file back at once
                    ::rename(QFile::encodeName(move.backup).constData(),
                             QFile::encodeName(target).constData());
            }
            if (ok) {
                moves.append(move);
                break;
            }
            if (why.isEmpty())
                why = errnoText();
            const int answer = askAboutWriteError(target, why);
            if (answer == AnswerRetry)
                continue;
            if (answer == AnswerIgnore) {
                qDebug() << "MSI engine: leaving out" << target;
                break;
            }
            undoCommit();
            return outcomeOfAnswer(answer);
        }
    }
    for (int k = 0; k < newFolders.size();) {
        const QString root = newFolders.at(k);
        const QString inTree = tree + root.mid(programFiles.size());
        const bool ok = QDir().mkpath(QFileInfo(root).absolutePath())
                        && journal("folder\t" + QFile::encodeName(inTree) + '\t'
                                   + QFile::encodeName(root))
                        && ::rename(QFile::encodeName(inTree).constData(),
                                    QFile::encodeName(root).constData())
                                   == 0;
        if (ok) {
            ++k;
            continue;
        }
        const int answer = askAboutWriteError(root, errnoText());
        if (answer == AnswerRetry)
            continue;
        newFolders.removeAt(k); // not in place: left out, or nothing to undo
        if (answer == AnswerIgnore) {
            qDebug() << "MSI engine: leaving out" << root;
            continue;
        }
        newFolders = newFolders.mid(0, k);
        undoCommit();
        return outcomeOfAnswer(answer);
    }
    // The install is complete from here: no later install may undo it.
    QFile::remove(journalPath());
    qDebug() << "MSI engine: moved" << moves.size() << "files and" << newFolders.size()
             << "new folders into place";
    return Outcome::Done;
}

void MsiEngine::undoCommit()
{
    for (int i = newFolders.size() - 1; i >= 0; --i)
        QDir(newFolders.at(i)).removeRecursively();
    newFolders.clear();
    for (int i = moves.size() - 1; i >= 0; --i) {
        const Move &move = moves.at(i);
        QFile::remove(move.target);
        if (!move.backup.isEmpty()
            && ::rename(QFile::encodeName(move.backup).constData(),
                        QFile::encodeName(move.target).constData())
                       != 0)
            qWarning() << "MSI engine: could not put back" << move.target << errnoText();
    }
    moves.clear();
}

// Undoes, newest first, the moves a killed install had journaled: a folder it moved in goes,
// a file it moved in goes and the file it replaced comes back.
void MsiEngine::undoJournal(const QString &abandoned)
{
    QFile file(abandoned + QStringLiteral("/journal"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    QList<QByteArray> lines = file.readAll().split('\n');
    qDebug() << "MSI engine: undoing the moves of an install that did not end," << abandoned;
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QList<QByteArray> fields = lines.at(i).split('\t');
        if (fields.value(0) == "folder" && fields.size() == 3) {
            const QString inTree = QFile::decodeName(fields.at(1));
            const QString root = QFile::decodeName(fields.at(2));
            if (!QFileInfo::exists(inTree) && QFileInfo::exists(root))
                QDir(root).removeRecursively();
        } else if (fields.value(0) == "file" && fields.size() == 4) {
            const QByteArray staged = fields.at(1), target = fields.at(2), backup = fields.at(3);
            const bool placed = !QFileInfo::exists(QFile::decodeName(staged));
            if (placed && (backup.isEmpty() || QFileInfo::exists(QFile::decodeName(backup))))
                QFile::remove(QFile::decodeName(target));
            if (!backup.isEmpty() && QFileInfo::exists(QFile::decodeName(backup)))
                ::rename(backup.constData(), target.constData());
        }
    }
}

void MsiEngine::rollback()
{
    sendActionStart("Rollback", "Rolling back action:");
    if (ticksReported > 0) {
        sendProgress({0, ticksReported, 1, 0});
        qint64 left = ticksReported;
        for (int i = 0; files && i < files->size(); ++i) {
            QFile::remove(stagedPath(i));
            const qint64 ticks = qMin(left, ticksFor(files->at(i).size, tickUnit));
            if (complete.value(i) && ticks > 0) {
                left -= ticks;
                sendProgress({2, ticks});
            }
        }
        if (left > 0)
            sendProgress({2, left});
        ticksReported = 0;
    }
    if (!staging.isEmpty() && !QDir(staging).removeRecursively())
        qWarning() << "MSI engine: could not remove the staging folder" << staging;
    qDebug() << "MSI engine: rolled back; nothing of this install is left in place";
}

} // namespace DlrPlatform
