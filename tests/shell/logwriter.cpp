// Writes log lines through the installer's log file, as a run does:
//   tess_logwriter types            one message of each type, then exits
//   tess_logwriter codec NAME TEXT  logs TEXT with NAME as the local 8-bit encoding
//   tess_logwriter forever          logs a numbered line every few milliseconds until killed
#include "DlrLog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTextCodec>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("codec"))
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(args.value(2).toLatin1()));

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
    } else if (mode == QLatin1String("forever")) {
        for (int i = 0;; ++i) {
            qDebug().noquote() << QStringLiteral("line %1 complete").arg(i);
            QThread::msleep(2);
        }
    }
    return 0;
}
