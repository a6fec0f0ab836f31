#include "DlrMessageBox.h"

#include <QDebug>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>

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
            {PackageRefused, QMessageBox::Ok},
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

// The answers are set on the user-interface thread and read on the installer's worker thread
// too, hence the lock.
struct DlrMessageBox::Automatic
{
    QMutex lock;
    QHash<QString, QMessageBox::StandardButton> answers;
    QHash<QString, QPair<QString, QString>> credentials;
};

DlrMessageBox::Automatic &DlrMessageBox::automatic()
{
    static Automatic automatic;
    return automatic;
}

void DlrMessageBox::answerAllAutomatically()
{
    for (const DlrBox::Entry &entry : DlrBox::catalogue())
        setAutomaticAnswer(QLatin1String(entry.id), entry.automaticAnswer);
}

void DlrMessageBox::setAutomaticAnswer(const QString &id, QMessageBox::StandardButton answer)
{
    QMutexLocker locker(&automatic().lock);
    automatic().answers.insert(id, answer);
}

bool DlrMessageBox::hasAutomaticAnswer(const QString &id)
{
    QMutexLocker locker(&automatic().lock);
    return automatic().answers.contains(id);
}

void DlrMessageBox::setAutomaticCredentials(const QString &id,
                                            const QString &user,
                                            const QString &password)
{
    QMutexLocker locker(&automatic().lock);
    automatic().credentials.insert(id, qMakePair(user, password));
}

void DlrMessageBox::clearAutomaticAnswers()
{
    QMutexLocker locker(&automatic().lock);
    automatic().answers.clear();
    automatic().credentials.clear();
}

void DlrMessageBox::logShown(const Spec &spec)
{
    qDebug() << "Message box" << spec.id << ":" << spec.text << spec.informativeText;
}

void DlrMessageBox::logAnswer(const QString &id, QMessageBox::StandardButton answer)
{
    qDebug() << "Message box" << id << "answered with" << buttonName(answer);
}

bool DlrMessageBox::answerAutomatically(const Spec &spec, QMessageBox::StandardButton *answer)
{
    QMessageBox::StandardButton given;
    {
        QMutexLocker locker(&automatic().lock);
        const auto found = automatic().answers.constFind(spec.id);
        if (found == automatic().answers.constEnd())
            return false;
        given = found.value();
    }
    if (given == QMessageBox::Default)
        given = spec.defaultButton != QMessageBox::NoButton ? spec.defaultButton
                                                            : firstButton(spec.buttons);
    logShown(spec);
    qDebug() << "Message box" << spec.id << "answered automatically with" << buttonName(given);
    *answer = given;
    return true;
}

QMessageBox::StandardButton
DlrMessageBox::askCredentials(const Spec &spec, QString *user, QString *password)
{
    QPair<QString, QString> credentials;
    bool answered = false;
    {
        QMutexLocker locker(&automatic().lock);
        answered = automatic().credentials.contains(spec.id);
        credentials = automatic().credentials.value(spec.id);
    }
    if (answered) {
        logShown(spec);
        *user = credentials.first;
        *password = credentials.second;
        qDebug() << "Message box" << spec.id << "answered automatically with Ok, user" << *user;
        return QMessageBox::Ok;
    }
    if (hasAutomaticAnswer(spec.id))
        return show(spec);

    logShown(spec);
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
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    if (answerAutomatically(spec, &answer))
        return answer;
    logShown(spec);

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
    answer = box.standardButton(box.clickedButton());
    logAnswer(spec.id, answer);
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
