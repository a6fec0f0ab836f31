#include "DlrOptions.h"

#include "DlrHost.h"

#include <QDebug>
#include <QRegularExpression>

#include <algorithm>
#include <iterator>

namespace DlrOptions {

QString usageText()
{
    const QStringList lines = {
            QStringLiteral(" -user <user name>"),
            QStringLiteral(" -manifestserver <server name>    defaults to scheme to http"),
            QStringLiteral(" -manifestserverscheme [ https|http ]"),
            QStringLiteral(" -manifesturl <path to manifest generating url>"),
            QStringLiteral("    default is forum/currentproducts.php"),
            QStringLiteral(" -pass <password>"),
            QStringLiteral(" -appendmanifest <manifest xml filename>"),
            QStringLiteral("     reads the manifest from file and adds it to that returned by the "
                           "server"),
            QStringLiteral(" -manifest <manifest xml filename>"),
            QStringLiteral("     reads the manifest from file, disgards server's"),
            QStringLiteral(" -debug"),
            QStringLiteral("    sets the log level to debug"),
            QStringLiteral(" -dumpManifest"),
            QStringLiteral("    writes the manifest xml to a ~/Downloads/manifest.xml"),
            QStringLiteral(" -unattended"),
            QStringLiteral("    installs what the machine needs with no window and no question"),
            QStringLiteral(" -select <regular expression>"),
            QStringLiteral("    also installs the offers whose label or name matches "
                           "(repeatable)"),
            QStringLiteral(" -deselect <regular expression>"),
            QStringLiteral("    leaves out the offers whose label or name matches (repeatable)"),
            QStringLiteral(" -list"),
            QStringLiteral("    prints the proposal and exits without downloading"),
            QStringLiteral(" -trustcert <SHA-256 fingerprint>"),
            QStringLiteral("    accepts the certificate with this fingerprint (repeatable)"),
            QStringLiteral(" -report <file>"),
            QStringLiteral("    writes a JSON report of the unattended run"),
            QStringLiteral(" -mirror <folder>"),
            QStringLiteral("    fetches the chosen packages and the signed product list into the "
                           "folder, installs nothing"),
            QStringLiteral(" -source <URL or folder>"),
            QStringLiteral("    reads the product list and the packages there first (repeatable, "
                           "in order)"),
            QStringLiteral(" -ratelimit <bytes a second>"),
            QStringLiteral("    caps the download rate of the run: 500K, 20M, 1G"),
            QStringLiteral(" -help"),
            QStringLiteral("    this message"),
            QString(),
            QString(),
            QStringLiteral("example:"),
            QString(),
            QStringLiteral("    ./Tessaline\\ Installer -debug -manifestserver %1 "
                           "-manifestserverscheme https -dumpManifest")
                    .arg(QLatin1String(DlrHost::WebHost)),
    };
    return lines.join(QLatin1Char('\n'));
}

void applySettings(const QSettings &settings, DlrConfig &config)
{
    const auto readString = [&settings](const char *key, QString &member) {
        if (settings.contains(QLatin1String(key)))
            member = settings.value(QLatin1String(key)).toString();
    };
    readString("user", config.userName);
    readString("manifestserver", config.manifestServer);
    readString("manifestserverscheme", config.manifestScheme);
    readString("manifesturl", config.manifestPath);
    readString("pass", config.password);
    readString("appendmanifest", config.appendManifestFile);
    readString("manifest", config.manifestFile);
    // Presence alone asks for debug logging; "false" included.
    if (settings.contains(QStringLiteral("debug")))
        config.debugRequested = true;
    if (settings.contains(QStringLiteral("dumpManifest")))
        config.dumpManifest = settings.value(QStringLiteral("dumpManifest")).toInt() != 0;
    if (settings.contains(QStringLiteral("source"))) {
        // A list in the INI file arrives as a list, a single value as a text with commas.
        const QVariant value = settings.value(QStringLiteral("source"));
        const QStringList parts = value.type() == QVariant::StringList
                                          ? value.toStringList()
                                          : value.toString().split(QLatin1Char(','));
        config.unattended.sources.clear();
        for (const QString &part : parts) {
            if (!part.trimmed().isEmpty())
                config.unattended.sources << part.trimmed();
        }
    }
    if (settings.contains(QStringLiteral("unattended")))
        config.unattended.enabled = settings.value(QStringLiteral("unattended")).toBool();
}

void applyEnvironment(const QProcessEnvironment &environment, DlrConfig &config)
{
    if (environment.contains(QStringLiteral("TESSINSTALLER_DEBUG_LOG")))
        config.debugRequested = true;
    bool pauseGiven = false;
    const int pause
            = environment.value(QStringLiteral("TESSINSTALLER_RETRY_PAUSE_MS")).toInt(&pauseGiven);
    if (pauseGiven && pause >= 0)
        config.unattended.retryPauseMs = pause;
    // How many downloads may run ahead of the install (0: strict order, as the benchmark compares).
    bool aheadGiven = false;
    const int ahead
            = environment.value(QStringLiteral("TESSINSTALLER_DOWNLOADS_AHEAD")).toInt(&aheadGiven);
    if (aheadGiven && ahead >= 0)
        config.unattended.downloadsAhead = qMin(ahead, 3);

    if (!environment.contains(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT")))
        return;
    const QString value = environment.value(QStringLiteral("TESSINSTALLER_DEBUG_ENTITLEMENT"));
    const QStringList pieces = value.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    if (pieces.size() == 2) {
        // scheme://host: drop the "//" in front of the host.
        config.manifestScheme = pieces.at(0);
        config.manifestServer = pieces.at(1).mid(2);
    } else if (pieces.size() == 1) {
        config.manifestScheme = QStringLiteral("http");
        config.manifestServer = value;
    } else {
        qDebug() << "Didn't grok" << value;
    }
}

Outcome applyCommandLine(const QStringList &arguments,
                         DlrConfig &config,
                         QByteArray *output,
                         QStringList *problems)
{
    if (arguments.size() < 2)
        return Outcome::Continue;

    struct ValueOption
    {
        const char *name;
        QString DlrConfig::*member;
    };
    static const ValueOption valueOptions[] = {
            {"-user", &DlrConfig::userName},
            {"-manifestserver", &DlrConfig::manifestServer},
            {"-manifestserverscheme", &DlrConfig::manifestScheme},
            {"-manifesturl", &DlrConfig::manifestPath},
            {"-pass", &DlrConfig::password},
            {"-appendmanifest", &DlrConfig::appendManifestFile},
            {"-manifest", &DlrConfig::manifestFile},
    };
    struct UnattendedOption
    {
        const char *name;
        QString DlrUnattendedOptions::*text;
        QStringList DlrUnattendedOptions::*list;
    };
    static const UnattendedOption unattendedOptions[] = {
            {"-report", &DlrUnattendedOptions::reportFile, nullptr},
            {"-mirror", &DlrUnattendedOptions::mirrorFolder, nullptr},
            {"-ratelimit", &DlrUnattendedOptions::rateLimitText, nullptr},
            {"-source", nullptr, &DlrUnattendedOptions::sources},
            {"-trustcert", nullptr, &DlrUnattendedOptions::trustCertificates},
            {"-select", nullptr, &DlrUnattendedOptions::selectPatterns},
            {"-deselect", nullptr, &DlrUnattendedOptions::deselectPatterns},
    };

    bool sourceGiven = false;
    int i = 1;
    while (i < arguments.size()) {
        const QString &arg = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();

        bool matched = false;
        for (const ValueOption &option : valueOptions) {
            if (hasValue && arg == QLatin1String(option.name)) {
                config.*option.member = arguments.at(i + 1);
                // Naming a server implies plain http unless a later option says otherwise.
                if (option.member == &DlrConfig::manifestServer)
                    config.manifestScheme = QStringLiteral("http");
                matched = true;
                break;
            }
        }
        for (const UnattendedOption &option : unattendedOptions) {
            if (!matched && hasValue && arg == QLatin1String(option.name)) {
                if (option.text)
                    config.unattended.*option.text = arguments.at(i + 1);
                else
                    (config.unattended.*option.list).append(arguments.at(i + 1)); // repeatable
                matched = true;
            }
        }
        if (matched && arg == QLatin1String("-source") && !sourceGiven) {
            // The command line's sources replace the settings file's, not add to them.
            sourceGiven = true;
            config.unattended.sources = QStringList{arguments.at(i + 1)};
        }
        if (matched && arg == QLatin1String("-mirror"))
            config.unattended.enabled = true; // the wizard has no mirror to fill
        if (matched) {
            i += 2;
            continue;
        }

        if (arg == QLatin1String("-debug")) {
            config.debugRequested = true;
        } else if (arg == QLatin1String("-dumpManifest")) {
            config.dumpManifest = true;
        } else if (arg == QLatin1String("-unattended")) {
            config.unattended.enabled = true;
        } else if (arg == QLatin1String("-list")) {
            config.unattended.listOnly = true;
        } else if (arg == QLatin1String("-help") || arg == QLatin1String("--help")
                   || arg == QLatin1String("-h")) {
            output->append(usageText().toLocal8Bit());
            output->append('\n');
            return Outcome::Help;
        } else {
            // Not read: an unknown option, a value option at the end, a stray word.
            const auto named = [&arg](const auto &option) {
                return arg == QLatin1String(option.name);
            };
            const bool wantsValue
                    = std::any_of(std::begin(valueOptions), std::end(valueOptions), named)
                      || std::any_of(std::begin(unattendedOptions), std::end(unattendedOptions),
                                     named);
            const bool isOption = arg.startsWith(QLatin1Char('-'));
            if (isOption) {
                output->append("Unknown option ");
                output->append(arg.toLocal8Bit());
                output->append("\n\n");
            }
            if (problems)
                *problems << (wantsValue ? QStringLiteral("%1 needs a value").arg(arg)
                              : isOption ? QStringLiteral("Unknown option %1").arg(arg)
                                         : QStringLiteral("Unexpected argument %1").arg(arg));
        }
        ++i;
    }
    return Outcome::Continue;
}

bool checkUnattendedOptions(const DlrUnattendedOptions &options, QString *message)
{
    const auto checkPatterns = [message](const QStringList &patterns, const char *option) {
        for (const QString &pattern : patterns) {
            const QRegularExpression expression(pattern);
            if (!expression.isValid()) {
                *message = QStringLiteral("%1 %2: not a valid regular expression (%3 at "
                                          "offset %4)")
                                   .arg(QLatin1String(option), pattern, expression.errorString())
                                   .arg(expression.patternErrorOffset());
                return false;
            }
        }
        return true;
    };
    if (!checkPatterns(options.selectPatterns, "-select")
        || !checkPatterns(options.deselectPatterns, "-deselect"))
        return false;
    for (const QString &pin : options.trustCertificates) {
        QString hex = pin;
        hex.remove(QLatin1Char(':'));
        static const QRegularExpression sha256Hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
        if (!sha256Hex.match(hex).hasMatch()) {
            *message = QStringLiteral("-trustcert %1: not a SHA-256 fingerprint (64 hex digits)")
                               .arg(pin);
            return false;
        }
    }
    if (!options.rateLimitText.isEmpty() && parseRate(options.rateLimitText) <= 0) {
        *message = QStringLiteral("-ratelimit %1: not a rate (bytes a second: 500K, 20M, 1G)")
                           .arg(options.rateLimitText);
        return false;
    }
    return true;
}

qint64 parseRate(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]+(?:\\.[0-9]+)?)([KMG]?)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return -1;
    const QString unit = match.captured(2).toUpper();
    const double scale = unit == QLatin1String("K")   ? 1e3
                         : unit == QLatin1String("M") ? 1e6
                         : unit == QLatin1String("G") ? 1e9
                                                      : 1;
    const double bytes = match.captured(1).toDouble() * scale;
    return bytes >= 1 && bytes < 1e15 ? qint64(bytes) : -1;
}

QString manifestFileFromEnvironment()
{
    return QProcessEnvironment::systemEnvironment().value(QStringLiteral("DLR_MANIFEST_FILE"));
}

QString appendManifestFileFromEnvironment()
{
    return QProcessEnvironment::systemEnvironment().value(
            QStringLiteral("DLR_APPEND_MANIFEST_FILE"));
}

QProcessEnvironment installerEnvironment()
{
    return QProcessEnvironment::systemEnvironment();
}

} // namespace DlrOptions
