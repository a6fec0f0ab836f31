// Child of the shell tests. "log TEXT": prints the log file's path, writes a line of each kind,
// the last one TEXT, in ISO-8859-1. Else: prints the configuration the application object reads.
#include "DlrApp.h"
#include "DlrLog.h"

#include <QDebug>
#include <QTextCodec>

#include <cstdio>

int main(int argc, char **argv)
{
    DlrApp app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("log")) {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        InitLogFile();
        std::printf("%s\n", LogFilePath().toLocal8Bit().constData());
        qDebug() << "a debug line" << 42;
        qInfo() << "an info line";
        qWarning() << "a warning line";
        qCritical().noquote() << args.value(2);
        return 0;
    }
    const DlrConfig c = app.config();
    const QStringList fields{c.userName,
                             c.password,
                             c.manifestScheme,
                             QString::number(c.dumpManifest),
                             QString::number(app.getLogLevel()),
                             app.GetManifestUrl().toString()};
    std::printf("%s\n", fields.join(QLatin1Char('|')).toLocal8Bit().constData());
    return 0;
}
