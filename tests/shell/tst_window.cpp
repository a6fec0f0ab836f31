// The wizard window, the sign-in page, and Start with and without its resources.
#include "DlrDownload.h"
#include "DlrFinished.h"
#include "DlrMainWindow.h"
#include "DlrSelection.h"
#include "DlrSignIn.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QLineEdit>
#include <QPushButton>

class TestWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir machine;
    TessTest::UrlRecorder browser;

    // A window that runs without network or machine: the manifest comes from a file.
    std::unique_ptr<DlrMainWindow> makeWindow(const QString &user, const QString &pass)
    {
        dlrApp->setUserName(user);
        dlrApp->setPassword(pass);
        auto window = std::make_unique<DlrMainWindow>();
        window->show();
        return window;
    }

    template<typename T>
    static T *child(DlrMainWindow &w, const char *name)
    {
        return w.page(0)->findChild<T *>(QLatin1String(name));
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
        QFile f(machine.filePath(QStringLiteral("manifest.xml")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<Products></Products>\n");
        f.close();
        DlrConfig c = dlrApp->config();
        c.manifestFile = f.fileName();
        dlrApp->setConfig(c);
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }

    void pagesInOrder()
    {
        auto w = makeWindow(QString(), QString());
        QCOMPARE(w->windowTitle(), QStringLiteral("Tessaline Installer"));
        QCOMPARE(w->pageIds(), (QList<int>{0, 1, 2, 3}));
        QVERIFY(qobject_cast<DlrSignIn *>(w->page(0)));
        QVERIFY(qobject_cast<DlrSelection *>(w->page(1)));
        QVERIFY(qobject_cast<DlrDownload *>(w->page(2)));
        QVERIFY(qobject_cast<DlrFinished *>(w->page(3)));
        QVERIFY(!w->pixmap(QWizard::BannerPixmap).isNull());
        QVERIFY(w->button(QWizard::NextButton)->isVisible());
        QVERIFY(!w->button(QWizard::CancelButton)->isVisible());
    }

    void startWithAndWithoutResources()
    {
        QTemporaryDir layout;
        QDir(layout.path()).mkpath(QStringLiteral("bin"));
        QDir(layout.path()).mkpath(QStringLiteral("lib/Resources/stylesheets"));
        QFile qss(layout.filePath(QStringLiteral("lib/Resources/stylesheets/tessinstaller.qss")));
        QVERIFY(qss.open(QIODevice::WriteOnly));
        qss.write("QLabel {\n  color: red;\r\n}\nQLineEdit { color: blue; }\n");
        qss.close();

        const QString saved = dlrApp->getAppDirPath();
        dlrApp->setAppDirPath(layout.filePath(QStringLiteral("bin")));
        QVERIFY(!dlrApp->Start());
        // The style sheet is joined into one line; images that are missing stay empty.
        QCOMPARE(dlrApp->styleSheet(),
                 QStringLiteral("QLabel {  color: red;}QLineEdit { color: blue; }"));
        QVERIFY(dlrApp->getMainWindow()->isVisible());
        QVERIFY(dlrApp->getMainWindow()->pixmap(QWizard::BannerPixmap).isNull());

        qss.remove();
        dlrApp->setStyleSheet(QString());
        QVERIFY(!dlrApp->Start());
        QCOMPARE(dlrApp->styleSheet(), QString());
        dlrApp->getMainWindow()->hide();
        dlrApp->setAppDirPath(saved);
    }

    void nextNeedsBothFields()
    {
        auto filled = makeWindow(QStringLiteral("alice"), QStringLiteral("secret"));
        QCOMPARE(child<QLineEdit>(*filled, "userName")->text(), QStringLiteral("alice"));
        QCOMPARE(child<QLineEdit>(*filled, "password")->echoMode(), QLineEdit::Password);
        QVERIFY(filled->button(QWizard::NextButton)->isEnabled());

        auto w = makeWindow(QString(), QString());
        QVERIFY(!w->button(QWizard::NextButton)->isEnabled());
        QTest::keyClicks(child<QLineEdit>(*w, "userName"), QStringLiteral("bob"));
        QVERIFY(!w->button(QWizard::NextButton)->isEnabled());
        QTest::keyClicks(child<QLineEdit>(*w, "password"), QStringLiteral("x"));
        QVERIFY(w->button(QWizard::NextButton)->isEnabled());
        QTest::keyClick(child<QLineEdit>(*w, "password"), Qt::Key_Backspace);
        QVERIFY(!w->button(QWizard::NextButton)->isEnabled());
    }

    // Return and Enter never reach the wizard or the focused sign-up button: with both fields
    // filled they act as Next, otherwise nothing happens.
    void returnKey_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("page");
        QTest::newRow("password field, user ID empty") << ""
                                                       << "pw"
                                                       << "password" << int(Qt::Key_Return) << 0;
        QTest::newRow("user field, complete") << "  carol "
                                              << "pw"
                                              << "userName" << int(Qt::Key_Enter) << 1;
        QTest::newRow("sign-up button, empty") << ""
                                               << ""
                                               << "needToRegister" << int(Qt::Key_Enter) << 0;
        QTest::newRow("sign-up button, complete") << "dave"
                                                  << "   "
                                                  << "needToRegister" << int(Qt::Key_Return) << 1;
    }

    void returnKey()
    {
        QFETCH(QString, user);
        QFETCH(QString, pass);
        QFETCH(QString, target);
        QFETCH(int, key);
        auto w = makeWindow(QString(), QString());
        // The first showing puts the focus on the sign-up button.
        auto *signUp = child<QPushButton>(*w, "needToRegister");
        QCOMPARE(w->focusWidget(), signUp);
        QTest::keyClicks(child<QLineEdit>(*w, "userName"), user);
        QTest::keyClicks(child<QLineEdit>(*w, "password"), pass);
        QWidget *widget = w->page(0)->findChild<QWidget *>(target);
        widget->setFocus();

        browser.urls.clear();
        QSignalSpy returned(child<QLineEdit>(*w, "password"), &QLineEdit::returnPressed);
        QTest::keyClick(widget, Qt::Key(key));
        QTEST(w->currentId(), "page");
        QCOMPARE(browser.urls.size() + returned.count(), 0);
        if (w->currentId() == 1) { // stored exactly as typed
            QCOMPARE(dlrApp->getUserName(), user);
            QCOMPARE(dlrApp->getPassword(), pass);
        }
    }

    void signUpOpensTheForumPage()
    {
        browser.urls.clear();
        auto w = makeWindow(QStringLiteral("erin"), QString());
        QTest::mouseClick(child<QPushButton>(*w, "needToRegister"), Qt::LeftButton);
        QCOMPARE(browser.urls.size(), 1);
        const QUrl &url = browser.urls.first();
        QCOMPARE(url.scheme() + url.path() + QLatin1Char('?') + url.query(),
                 QStringLiteral("https/forum/register.php?action=signup"));
        QCOMPARE(w->currentId(), 0);
    }
};

TESS_TEST_MAIN(TestWindow)
#include "tst_window.moc"
