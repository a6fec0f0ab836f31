#pragma once

#include <QHash>
#include <QList>
#include <QMessageBox>
#include <QPixmap>
#include <QString>

// The catalogue: the identifier of every box the installer shows, and the answer a run without
// questions gives it.
namespace DlrBox {
inline constexpr char OldCpu[] = "oldCpu";
inline constexpr char SslErrors[] = "sslErrors";
inline constexpr char ManifestFailed[] = "manifestFailed";
inline constexpr char NoProducts[] = "noProducts";
inline constexpr char NotEnoughSpace[] = "notEnoughSpace";
inline constexpr char DownloadCannotStart[] = "downloadCannotStart";
inline constexpr char DownloadFailed[] = "downloadFailed";
inline constexpr char BackDuringDownload[] = "backDuringDownload";
inline constexpr char BackDuringInstall[] = "backDuringInstall";
inline constexpr char InstallerFailedToStart[] = "installerFailedToStart";
inline constexpr char InstallerExitError[] = "installerExitError";
// A package that failed its checks just before its install (changed, or not signed by the maker).
inline constexpr char PackageRefused[] = "packageRefused";
inline constexpr char ProxyCredentials[] = "proxyCredentials";
// What the Windows Installer asks through the installer's message handler, by message kind,
// and the boxes of its own interface (whatever caption the package gives them).
inline constexpr char InstallerFatalError[] = "FatalError";
inline constexpr char InstallerError[] = "Error";
inline constexpr char InstallerWarning[] = "Warning";
inline constexpr char InstallerOwnBox[] = "Windows Installer";

struct Entry
{
    const char *id;
    // QMessageBox::Default stands for the box's own default button.
    QMessageBox::StandardButton automaticAnswer;
};
const QList<Entry> &catalogue();

// The identifier of a box the installer's handler or engine shows under this caption.
const char *installerBoxId(const QString &caption);
} // namespace DlrBox

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

    // A box that also asks for a user name and a password (user and password fields, by those
    // object names). Ok leaves them in *user and *password; *user comes in as the name offered.
    // The password is never logged.
    static QMessageBox::StandardButton
    askCredentials(const Spec &spec, QString *user, QString *password);

    // The automatic answer for the box, when its id has one: logged as a box shown and answered,
    // and no window. Any thread may ask (the installer's handler asks on its worker thread).
    static bool answerAutomatically(const Spec &spec, QMessageBox::StandardButton *answer);
    static bool hasAutomaticAnswer(const QString &id);
    // The two log lines of every box, for a box shown by other means (user32's on Windows).
    static void logShown(const Spec &spec);
    static void logAnswer(const QString &id, QMessageBox::StandardButton answer);

    // QMessageBox::Default answers with the box's default button (its first when it has none).
    static void setAutomaticAnswer(const QString &id, QMessageBox::StandardButton answer);
    // Ok, with these credentials, for the credentials box of that id.
    static void
    setAutomaticCredentials(const QString &id, const QString &user, const QString &password);
    // Every box of the catalogue answered with its automatic answer.
    static void answerAllAutomatically();
    static void clearAutomaticAnswers();

private:
    struct Automatic;
    static Automatic &automatic();
};
Q_DECLARE_METATYPE(DlrMessageBox::Spec)
