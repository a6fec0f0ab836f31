#include "DlrOptions.h"

#include "DlrHost.h"

#include <QDebug>

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
}

void applyEnvironment(const QProcessEnvironment &environment, DlrConfig &config)
{
    if (environment.contains(QStringLiteral("TESSINSTALLER_DEBUG_LOG")))
        config.debugRequested = true;

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

Outcome applyCommandLine(const QStringList &arguments, DlrConfig &config, QByteArray *output)
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
        if (matched) {
            i += 2;
            continue;
        }

        if (arg == QLatin1String("-debug")) {
            config.debugRequested = true;
        } else if (arg == QLatin1String("-dumpManifest")) {
            config.dumpManifest = true;
        } else if (arg == QLatin1String("-help") || arg == QLatin1String("--help")
                   || arg == QLatin1String("-h")) {
            output->append(usageText().toLocal8Bit());
            output->append('\n');
            return Outcome::Help;
        } else if (arg.startsWith(QLatin1Char('-'))) {
            output->append("Unknown option ");
            output->append(arg.toLocal8Bit());
            output->append("\n\n");
        }
        ++i;
    }
    return Outcome::Continue;
}

} // namespace DlrOptions
