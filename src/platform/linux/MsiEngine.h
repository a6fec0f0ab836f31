#pragma once

// The Linux stand-in for the Windows Installer's MsiInstallProduct: installs the files of a
// Windows Installer package below Program Files, talking to the external user-interface
// handler as the Windows Installer does (message kinds, record texts, box flags, answers) and
// returning its error codes.
//
// Files are first written into a staging folder inside Program Files and moved into place
// only when every one is complete; a failed or cancelled install removes the staging folder
// and puts back any file it had replaced, so what was installed before stays as it was. The
// moves are journaled, so an install killed half-way is undone by the next one.

#include "DlrPlatform.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <initializer_list>
#include <memory>

namespace DlrPlatform {

class MsiCabinet;
class MsiPackage;
struct MsiFileEntry;
struct MsiMediaEntry;

struct MsiUiSettings
{
    int level = INSTALLUILEVEL_DEFAULT;
    InstallUiHandler handler = nullptr;
    unsigned int filter = 0;
    void *context = nullptr;
};

class MsiEngine
{
public:
    MsiEngine(const MsiUiSettings &ui, const QString &programFiles);
    ~MsiEngine();
    MsiEngine(const MsiEngine &) = delete;
    MsiEngine &operator=(const MsiEngine &) = delete;

    unsigned int install(const QString &packagePath, const QString &commandLine);

    // --- Pure helpers ----------------------------------------------------------------------

    // "NAME=value NAME2="quoted value"" into name/value pairs. False for a malformed line.
    static bool parseCommandLine(const QString &commandLine,
                                 QList<QPair<QString, QString>> *properties);
    // A record in the Windows Installer's text form: "1: a 2: b ... ".
    static QByteArray recordText(std::initializer_list<qint64> fields);
    // Byte counts as progress ticks (an int on the handler's side): one tick per byte, or per
    // a larger unit for payloads beyond a gibibyte.
    static qint64 ticksFor(qint64 bytes, qint64 unit);
    static qint64 tickUnitFor(qint64 totalBytes);

private:
    enum class Outcome { Done, Failed, Cancelled };

    // Sends one message through the handler (when its kind passes the filter), falls back on
    // the installer's own box where the interface level allows one, and returns the answer.
    int send(unsigned int kind, unsigned int flags, const QByteArray &text);
    int sendError(unsigned int flags, const QString &text);
    // A file or folder could not be written: Abort, Retry or Ignore.
    int askAboutWriteError(const QString &path, const QString &detail);
    void sendInfo(const QString &text);
    void sendActionStart(const char *action, const char *description);
    int sendProgress(std::initializer_list<qint64> fields);
    Outcome outcomeOfAnswer(int answer) const;

    // A loaded cabinet, or null after telling the handler why not.
    std::unique_ptr<MsiCabinet> loadCabinet(const MsiPackage &package, const MsiMediaEntry &media);
    // Every file's size from its cabinet; false after telling the handler what is wrong.
    bool prepareCabinets(MsiPackage &package);
    bool checkTargetsInside(const MsiPackage &package, QString *reason) const;
    void removeAbandonedStaging();
    static void undoJournal(const QString &abandoned);
    Outcome createStaging();
    Outcome extractFiles(MsiPackage &package);
    Outcome commit(MsiPackage &package);
    void undoCommit();
    QString newestMissingFolder(const QString &path) const;
    QString journalPath() const;
    bool journal(const QByteArray &line);
    void rollback();
    // force: without waiting for the report interval; last: even a sliver of the total.
    void reportWritten(bool force, bool last = false);
    QString stagedPath(int index) const;
    QString targetPath(const MsiFileEntry &file) const;
    unsigned int finish(unsigned int code, const QString &knownName);

    MsiUiSettings ui;
    QString programFiles;
    QString caption;

    // Per install
    QString staging;
    QList<MsiFileEntry> *files = nullptr;
    QVector<bool> complete;
    QVector<bool> skipped;
    int current = -1;
    qint64 totalBytes = 0;
    qint64 tickUnit = 1;
    qint64 ticksReported = 0;
    bool cancelRequested = false;
    QElapsedTimer sinceReport;
    QHash<QString, int> indexByKey;

    struct Move
    {
        QString target;
        QString backup; // empty when nothing was replaced
    };
    QList<Move> moves;
    QStringList newFolders; // moved in whole, each with one rename
};

} // namespace DlrPlatform
