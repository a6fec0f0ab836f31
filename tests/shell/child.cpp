// Child program of the shell tests. "types", "codec NAME TEXT" or "forever" first: writes log
// lines through the installer's log file, after printing its path. Anything else: builds the
// application object as the installer does and prints the configuration it ends up with.
#include "DlrApp.h"
#include "DlrLog.h"

#include <QDebug>
#include <QTextCodec>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    DlrApp app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("codec"))
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(args.value(2).toLatin1()));
    if (mode == QLatin1String("types") || mode == QLatin1String("codec")
        || mode == QLatin1String("forever")) {
        InitLogFile();
        std::printf("%s\n", LogFilePath().toLocal8Bit().constData());
        std::fflush(stdout);
        if (mode == QLatin1String("types")) {
            qDebug() << "a debug line" << 42;
            qInfo() << "an info line";
            qWarning() << "a warning line";
            qCritical() << "a critical line";
        } else if (mode == QLatin1String("codec")) {
            qDebug().noquote() << args.value(3);
        }
        for (int i = 0; mode == QLatin1String("forever"); ++i) {
            qDebug().noquote() << QStringLiteral("line %1 complete").arg(i);
            QThread::msleep(2);
        }
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
