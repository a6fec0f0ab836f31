#include "DlrSignIn.h"

#include "DlrApp.h"
#include "DlrHost.h"

#include <QDebug>
#include <QDesktopServices>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QWizard>

DlrSignIn::DlrSignIn(DlrApp *app, QWidget *parent)
    : QWizardPage(parent)
    , app(app)
{
    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, app->GetPixmap("signInBanner.png"));

    auto *layout = new QGridLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMargin(0);
    setLayout(layout);

    userNameEdit = new QLineEdit(this);
    userNameEdit->setObjectName(QStringLiteral("userName"));
    userNameEdit->setPlaceholderText(QStringLiteral("Tessaline Forum User ID"));
    userNameEdit->setText(app->getUserName());
    layout->addWidget(userNameEdit, 0, 0, 1, 4);

    passwordEdit = new QLineEdit(this);
    passwordEdit->setObjectName(QStringLiteral("password"));
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setInputMethodHints(Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    passwordEdit->setPlaceholderText(QStringLiteral("Tessaline Forum Password"));
    passwordEdit->setText(app->getPassword());
    layout->addWidget(passwordEdit, 1, 0, 1, 4);

    for (QLineEdit *edit : {userNameEdit, passwordEdit}) {
        edit->setAttribute(Qt::WA_MacShowFocusRect, false);
        connect(edit, &QLineEdit::textEdited, this, &DlrSignIn::entriesChanged);
        edit->installEventFilter(this);
    }

    registerButton = new QPushButton(QStringLiteral("Need a Forum User ID?"), this);
    registerButton->setObjectName(QStringLiteral("needToRegister"));
    connect(registerButton, &QPushButton::released, this, &DlrSignIn::registerOnForum);
    registerButton->installEventFilter(this);
    layout->addWidget(registerButton, 2, 0);

    auto *spacer = new QLabel(this);
    spacer->setObjectName(QStringLiteral("spacer"));
    layout->addWidget(spacer, 3, 0, 1, 4);
}

void DlrSignIn::initializePage()
{
    qDebug() << "Sign in";
}

bool DlrSignIn::isComplete() const
{
    return !userNameEdit->text().isEmpty() && !passwordEdit->text().isEmpty();
}

void DlrSignIn::entriesChanged(const QString &)
{
    Q_EMIT completeChanged();
}

void DlrSignIn::registerOnForum()
{
    const QUrl signUp(QStringLiteral("https://") + QLatin1String(DlrHost::WebHost)
                              + QLatin1Char('/') + QLatin1String(DlrHost::SignUpPath),
                      QUrl::TolerantMode);
    qDebug() << "Opening the forum sign-up page" << signUp.toString();
    QDesktopServices::openUrl(signUp);
}

void DlrSignIn::showEvent(QShowEvent *event)
{
    QWizardPage::showEvent(event);
    if (focusPending) {
        registerButton->setFocus(Qt::OtherFocusReason);
        focusPending = false;
    }
}

bool DlrSignIn::eventFilter(QObject *watched, QEvent *event)
{
    const bool ours
            = watched == userNameEdit || watched == passwordEdit || watched == registerButton;
    if (ours && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // Consumed either way, so the wizard's default button never sees it.
            if (isComplete() && wizard())
                wizard()->next();
            return true;
        }
    }
    return QWizardPage::eventFilter(watched, event);
}

bool DlrSignIn::validatePage()
{
    // Stored exactly as typed: blanks are part of a password.
    app->setUserName(userNameEdit->text());
    app->setPassword(passwordEdit->text());
    qDebug() << "Signing in as" << app->getUserName();
    return true;
}
