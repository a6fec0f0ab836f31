// Builds the application object exactly as the installer does (settings file, environment,
// command line) and prints the configuration it ends up with, one "key=value" per line.
#include "DlrApp.h"

#include <cstdio>

int main(int argc, char **argv)
{
    DlrApp app(argc, argv);
    const DlrConfig c = app.config();
    const auto out = [](const char *key, const QString &value) {
        std::printf("%s=%s\n", key, value.toLocal8Bit().constData());
    };
    out("user", c.userName);
    out("pass", c.password);
    out("server", c.manifestServer);
    out("scheme", c.manifestScheme);
    out("path", c.manifestPath);
    out("manifest", c.manifestFile);
    out("append", c.appendManifestFile);
    out("dump", c.dumpManifest ? QStringLiteral("1") : QStringLiteral("0"));
    out("loglevel", QString::number(app.getLogLevel()));
    out("url", app.GetManifestUrl().toString());
    return 0;
}
