// "log TEXT": prints the log's path, writes a line of each kind (TEXT last, in ISO-8859-1).
// Else: prints the configuration the application object reads.
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
    std::printf("%s|%s|%s|%d|%d|%s\n", qPrintable(c.userName), qPrintable(c.password),
                qPrintable(c.manifestScheme), int(c.dumpManifest), int(app.getLogLevel()),
                qPrintable(app.GetManifestUrl().toString()));
    return 0;
}
