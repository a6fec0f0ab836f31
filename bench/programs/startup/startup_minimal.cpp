// The reference: the smallest program that shows a four-page wizard, ending once it is shown.
#include <QApplication>
#include <QTimer>
#include <QWizard>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWizard wizard;
    wizard.setWizardStyle(QWizard::ModernStyle);
    for (int i = 0; i < 4; ++i)
        wizard.addPage(new QWizardPage);
    wizard.show();
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
