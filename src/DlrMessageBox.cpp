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
} // namespace

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
        qDebug() << "Message box" << spec.id << "answered automatically with"
                 << buttonName(automatic.value());
        return automatic.value();
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
