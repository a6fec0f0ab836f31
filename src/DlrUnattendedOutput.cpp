#include "DlrUnattendedOutput.h"

#include "DlrUnattendedReport.h"

#include <QDebug>
#include <QHash>

#include <cstdio>

DlrUnattendedOutput::DlrUnattendedOutput(const QString &reportFile)
    : reportFile(reportFile)
{
    clock.start();
}

QString DlrUnattendedOutput::exitName(DlrExitCode::Code code)
{
    static const QHash<int, QString> names{
            {DlrExitCode::Success, QStringLiteral("Installed")},
            {DlrExitCode::ProcessorTooOld, QStringLiteral("ProcessorTooOld")},
            {DlrExitCode::BadUsage, QStringLiteral("BadUsage")},
            {DlrExitCode::SignInRefused, QStringLiteral("SignInRefused")},
            {DlrExitCode::ServiceUnreachable, QStringLiteral("ServiceUnreachable")},
            {DlrExitCode::NotEnoughDiskSpace, QStringLiteral("NotEnoughDiskSpace")},
            {DlrExitCode::DownloadFailed, QStringLiteral("DownloadFailed")},
            {DlrExitCode::ChecksumMismatch, QStringLiteral("ChecksumMismatch")},
            {DlrExitCode::CertificateRefused, QStringLiteral("CertificateRefused")},
            {DlrExitCode::InstallerError, QStringLiteral("InstallerError")},
            {DlrExitCode::ProductListRefused, QStringLiteral("ProductListRefused")},
    };
    return names.value(code, QString::number(code));
}

void DlrUnattendedOutput::print(const QString &line)
{
    if (line.isEmpty())
        return;
    qDebug().noquote()
            << QStringLiteral("Unattended: +%1 s").arg(clock.elapsed() / 1000.0, 0, 'f', 3) << line;
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

DlrExitCode::Code DlrUnattendedOutput::end(DlrUnattendedReport &report,
                                           DlrExitCode::Code code,
                                           const QString &message)
{
    report.setOutcome(code, exitName(code), message);
    QString error;
    if (!reportFile.isEmpty() && !report.write(reportFile, &error))
        print(QStringLiteral("Could not write the report %1: %2").arg(reportFile, error));
    if (code == DlrExitCode::Success) {
        print(message);
    } else {
        qWarning().noquote() << "Unattended run stopped:" << message;
        print(QStringLiteral("Stopped: %1 (exit code %2, %3)")
                      .arg(message)
                      .arg(code)
                      .arg(exitName(code)));
    }
    return code;
}
