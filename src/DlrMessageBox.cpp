#include "DlrMessageBox.h"

#include <QDebug>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

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
            {ProxyCredentials, QMessageBox::Cancel},
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

QHash<QString, QPair<QString, QString>> &DlrMessageBox::automaticCredentials()
{
    static QHash<QString, QPair<QString, QString>> credentials;
    return credentials;
}

void DlrMessageBox::setAutomaticCredentials(const QString &id,
                                            const QString &user,
                                            const QString &password)
{
    automaticCredentials().insert(id, qMakePair(user, password));
}

void DlrMessageBox::clearAutomaticAnswers()
{
    automaticAnswers().clear();
    automaticCredentials().clear();
}

QMessageBox::StandardButton
DlrMessageBox::askCredentials(const Spec &spec, QString *user, QString *password)
{
    const auto automatic = automaticCredentials().constFind(spec.id);
    if (automatic != automaticCredentials().constEnd()) {
        qDebug() << "Message box" << spec.id << ":" << spec.text << spec.informativeText;
        *user = automatic.value().first;
        *password = automatic.value().second;
        qDebug() << "Message box" << spec.id << "answered automatically with Ok, user" << *user;
        return QMessageBox::Ok;
    }
    if (automaticAnswers().contains(spec.id))
        return show(spec);

    qDebug() << "Message box" << spec.id << ":" << spec.text << spec.informativeText;
    QDialog box;
    box.setObjectName(spec.id);
    box.setWindowTitle(spec.title.isEmpty() ? QStringLiteral("Tessaline Installer") : spec.title);
    auto *form = new QFormLayout(&box);
    form->addRow(new QLabel(spec.text, &box));
    if (!spec.informativeText.isEmpty())
        form->addRow(new QLabel(spec.informativeText, &box));
    auto *userField = new QLineEdit(*user, &box);
    userField->setObjectName(QStringLiteral("user"));
    auto *passwordField = new QLineEdit(&box);
    passwordField->setObjectName(QStringLiteral("password"));
    passwordField->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("User name:"), userField);
    form->addRow(QStringLiteral("Password:"), passwordField);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &box);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    form->addRow(buttons);
    (user->isEmpty() ? userField : passwordField)->setFocus();

    const bool given = box.exec() == QDialog::Accepted;
    if (given) {
        *user = userField->text();
        *password = passwordField->text();
    }
    if (given)
        qDebug() << "Message box" << spec.id << "answered with Ok, user" << *user;
    else
        qDebug() << "Message box" << spec.id << "answered with Cancel";
    return given ? QMessageBox::Ok : QMessageBox::Cancel;
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
