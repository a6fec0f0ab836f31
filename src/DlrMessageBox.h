#pragma once

#include <QHash>
#include <QMessageBox>
#include <QPixmap>
#include <QString>

// Every modal box of the installer is built here from exactly the values that describe it.
// Each box carries an identifier (also its object name), so tests can find and answer a box by
// name and an unattended run can answer it without a window.
class DlrMessageBox
{
public:
    struct Spec
    {
        QString id;
        QString title; // window title; the toolkit's default when empty
        QMessageBox::Icon icon = QMessageBox::Critical;
        QString text;
        QString informativeText;
        QString detailedText;
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QPixmap iconPixmap; // replaces the icon when not null
    };

    // Shows the box modally (no parent) and returns the button pressed; NoButton when the box
    // was closed without one. An automatic answer for the box's id skips the window.
    static QMessageBox::StandardButton show(const Spec &spec);

    // The usual box of the wizard: the critical icon, a text, an informative text, buttons.
    static QMessageBox::StandardButton
    critical(const QString &id,
             const QString &text,
             const QString &informativeText = QString(),
             QMessageBox::StandardButtons buttons = QMessageBox::Ok,
             QMessageBox::StandardButton defaultButton = QMessageBox::Ok);

    static void setAutomaticAnswer(const QString &id, QMessageBox::StandardButton answer);
    static void clearAutomaticAnswers();

private:
    static QHash<QString, QMessageBox::StandardButton> &automaticAnswers();
};
