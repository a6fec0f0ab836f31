#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QSettings>
#include <QString>
#include <QStringList>

// The run without questions: whether it runs, what to add to or take from the proposal,
// whether only to print it, which certificates to accept, where to write the report.
struct DlrUnattendedOptions
{
    bool enabled = false;
    bool listOnly = false;
    QStringList selectPatterns;
    QStringList deselectPatterns;
    // SHA-256 fingerprints of certificates to accept, each from whichever host presents it.
    QStringList trustCertificates;
    QString reportFile;
    // -mirror DIR: fetch the picked packages and the signed list into DIR, install nothing.
    QString mirrorFolder;
    // -source URL|DIR (repeatable; settings key "source", comma-separated): where the product
    // list and the packages are looked for first, in this order, before the maker.
    QStringList sources;
    // -ratelimit RATE as given ("20M"); checked before the run. 0: no limit.
    QString rateLimitText;
    // Runs without questions download up to this many products ahead of the install.
    int downloadsAhead = 3;
    // The first pause before a failed download is tried again; each further pause is longer.
    // TESSINSTALLER_RETRY_PAUSE_MS changes it (tests shorten it).
    int retryPauseMs = 2000;
};

// The configuration values that the settings file, the environment and the command line
// can set, in that order, a later source overriding an earlier one value by value.
struct DlrConfig
{
    QString userName;
    QString password;
    QString manifestServer;
    QString manifestScheme;
    QString manifestPath;
    QString manifestFile;
    QString appendManifestFile;
    bool dumpManifest = false;
    bool debugRequested = false;
    DlrUnattendedOptions unattended;
};

namespace DlrOptions {

// The "-help" text, without its final line feed (it is printed with "%s\n").
QString usageText();

// Applies the top-level keys of the settings file.
void applySettings(const QSettings &settings, DlrConfig &config);

// Applies TESSINSTALLER_DEBUG_LOG and TESSINSTALLER_DEBUG_ENTITLEMENT.
void applyEnvironment(const QProcessEnvironment &environment, DlrConfig &config);

enum class Outcome { Continue, Help };

// Applies the arguments (the first is the program). Unknown options are reported in output as
// "Unknown option %s\n\n". Returns Help at the first help option, with the usage text and its
// line feed in output; the caller prints output and ends the process. Every argument that is
// not read (an unknown option, an option without its value, a stray word) is also named in
// *problems, for a run without questions, which refuses them.
Outcome applyCommandLine(const QStringList &arguments,
                         DlrConfig &config,
                         QByteArray *output,
                         QStringList *problems = nullptr);

// The manifest files the environment names (DLR_MANIFEST_FILE, DLR_APPEND_MANIFEST_FILE),
// read when a request is made rather than at start-up, as scripts set them late.
QString manifestFileFromEnvironment();
QString appendManifestFileFromEnvironment();

// The environment an installer starts with: the program's own.
QProcessEnvironment installerEnvironment();

// Checks the values of the unattended options that can be wrong before anything runs: every
// select and deselect pattern must be a valid regular expression, each certificate fingerprint
// 64 hex digits (colons allowed). False with a message naming the culprit.
bool checkUnattendedOptions(const DlrUnattendedOptions &options, QString *message);

// A rate in bytes a second: plain bytes, or a number with K, M or G (powers of 1000): "500K",
// "20M", "1.5G". -1 for anything else, 0 or less included.
qint64 parseRate(const QString &text);

} // namespace DlrOptions
