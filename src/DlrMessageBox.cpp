#include "DlrMessageBox.h"

#include <QDebug>

namespace {
QString buttonName(QMessageBox::StandardButton button)
{
    switch (button) {
    case QMessageBox::Ok:
        return QStringLiteral("Ok");
    case QMessageBox::Cancel:
        return QStringLiteral("Cancel");
    case QMessageBox::Abort:
        return QStringLiteral("Abort");
    case QMessageBox::Retry:
        return QStringLiteral("Retry");
    case QMessageBox::Ignore:
        return QStringLiteral("Ignore");
    case QMessageBox::Yes:
        return QStringLiteral("Yes");
    case QMessageBox::No:
        return QStringLiteral("No");
    case QMessageBox::NoButton:
        return QStringLiteral("none");
    default:
        return QString::number(button);
    }
}

QMessageBox::StandardButton firstButton(QMessageBox::StandardButtons buttons)
{
    for (int bit = QMessageBox::FirstButton; bit <= QMessageBox::LastButton; bit <<= 1) {
        if (buttons & bit)
            return QMessageBox::StandardButton(bit);
    }
    return QMessageBox::NoButton;
}
} // namespace

const QList<DlrBox::Entry> &DlrBox::catalogue()
{
    // Without questions nothing goes back, every notice is acknowledged, a failed download is
    // tried again (the caller bounds the retries), a certificate problem is refused, and the
    // installer's own questions get what its quiet mode answers: the default button.
    static const QList<Entry> entries{
            {OldCpu, QMessageBox::Ok},
            {SslErrors, QMessageBox::Cancel},
            {ManifestFailed, QMessageBox::Ok},
            {NoProducts, QMessageBox::Ok},
            {NotEnoughSpace, QMessageBox::Ok},
            {DownloadCannotStart, QMessageBox::Ok},
            {DownloadFailed, QMessageBox::Retry},
            {BackDuringDownload, QMessageBox::Cancel},
            {BackDuringInstall, QMessageBox::Cancel},
            {InstallerFailedToStart, QMessageBox::Ok},
            {InstallerExitError, QMessageBox::Ok},
            {InstallerFatalError, QMessageBox::Default},
            {InstallerError, QMessageBox::Default},
            {InstallerWarning, QMessageBox::Default},
            {InstallerOwnBox, QMessageBox::Default},
    };
    return entries;
}

const char *DlrBox::installerBoxId(const QString &caption)
{
    for (const char *kind : {InstallerFatalError, InstallerError, InstallerWarning}) {
        if (caption == QLatin1String(kind))
            return kind;
    }
    return InstallerOwnBox;
}

void DlrMessageBox::answerAllAutomatically()
{
    for (const DlrBox::Entry &entry : DlrBox::catalogue())
        setAutomaticAnswer(QLatin1String(entry.id), entry.automaticAnswer);
}

QHash<QString, QMessageBox::StandardButton> &DlrMessageBox::automaticAnswers()
{
    static QHash<QString, QMessageBox::StandardButton> answers;
    return answers;
}

void DlrMessageBox::setAutomaticAnswer(const QString &id, QMessageBox::StandardButton answer)
{
    automaticAnswers().insert(id, answer);
}

void DlrMessageBox::clearAutomaticAnswers()
{
    automaticAnswers().clear();
}

QMessageBox::StandardButton DlrMessageBox::show(const Spec &spec)
{
    qDebug() << "Message box" << spec.id << ":" << spec.text << spec.informativeText;

    const auto automatic = automaticAnswers().constFind(spec.id);
    if (automatic != automaticAnswers().constEnd()) {
        QMessageBox::StandardButton answer = automatic.value();
        if (answer == QMessageBox::Default)
            answer = spec.defaultButton != QMessageBox::NoButton ? spec.defaultButton
                                                                 : firstButton(spec.buttons);
        qDebug() << "Message box" << spec.id << "answered automatically with" << buttonName(answer);
        return answer;
    }

    QMessageBox box;
    box.setObjectName(spec.id);
    if (!spec.title.isEmpty())
        box.setWindowTitle(spec.title);
    box.setIcon(spec.icon);
    if (!spec.iconPixmap.isNull())
        box.setIconPixmap(spec.iconPixmap);
    box.setText(spec.text);
    if (!spec.informativeText.isNull())
        box.setInformativeText(spec.informativeText);
    if (!spec.detailedText.isNull())
        box.setDetailedText(spec.detailedText);
    box.setStandardButtons(spec.buttons);
    if (spec.defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(spec.defaultButton);

    box.exec();
    const QMessageBox::StandardButton answer = box.standardButton(box.clickedButton());
    qDebug() << "Message box" << spec.id << "answered with" << buttonName(answer);
    return answer;
}

QMessageBox::StandardButton DlrMessageBox::critical(const QString &id,
                                                    const QString &text,
                                                    const QString &informativeText,
                                                    QMessageBox::StandardButtons buttons,
                                                    QMessageBox::StandardButton defaultButton)
{
    Spec spec;
    spec.id = id;
    spec.icon = QMessageBox::Critical;
    spec.text = text;
    spec.informativeText = informativeText;
    spec.buttons = buttons;
    spec.defaultButton = defaultButton;
    return show(spec);
}
