#pragma once

#include <QWizardPage>

class DlrApp;

class QLineEdit;
class QPushButton;

// First page: the forum user ID and password that the manifest request carries, and a button
// that opens the forum's sign-up page.
class DlrSignIn : public QWizardPage
{
    Q_OBJECT

public:
    DlrSignIn(DlrApp *app, QWidget *parent);

    bool eventFilter(QObject *watched, QEvent *event) override;
    void initializePage() override;
    bool validatePage() override;
    bool isComplete() const override;

protected:
    void showEvent(QShowEvent *event) override;

private Q_SLOTS:
    void entriesChanged(const QString &newText);
    void registerOnForum();

private:
    bool focusPending = true;
    QLineEdit *userNameEdit = nullptr;
    QLineEdit *passwordEdit = nullptr;
    QPushButton *registerButton = nullptr;
    DlrApp *app;
};
