// The wizard window, the sign-in page, and Start with and without its resources.
#include "DlrMainWindow.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QLineEdit>
#include <QPushButton>

class TestWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir machine;
    TessTest::UrlRecorder browser;

    // A window that runs without network or machine: the manifest comes from a file.
    static std::unique_ptr<DlrMainWindow> makeWindow(const QString &user, const QString &pass)
    {
        dlrApp->setUserName(user);
        dlrApp->setPassword(pass);
        auto window = std::make_unique<DlrMainWindow>(dlrApp);
        window->show();
        return window;
    }

    template<typename T = QLineEdit>
    static T *child(DlrMainWindow &w, const QString &name)
    {
        return w.page(0)->findChild<T *>(name);
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
        QStringList pages;
        for (int id : w->pageIds())
            pages << QString::number(id) + w->page(id)->metaObject()->className();
        QCOMPARE(pages.join(' '),
                 QStringLiteral("0DlrSignIn 1DlrSelection 2DlrDownload 3DlrFinished"));
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
        QCOMPARE(child(*filled, "userName")->text(), QStringLiteral("alice"));
        QCOMPARE(child(*filled, "password")->echoMode(), QLineEdit::Password);
        QVERIFY(filled->button(QWizard::NextButton)->isEnabled());

        auto w = makeWindow(QString(), QString());
        QAbstractButton *next = w->button(QWizard::NextButton);
        QVERIFY(!next->isEnabled());
        QTest::keyClicks(child(*w, "userName"), QStringLiteral("bob"));
        QVERIFY(!next->isEnabled());
        QTest::keyClicks(child(*w, "password"), QStringLiteral("x"));
        QVERIFY(next->isEnabled());
        QTest::keyClick(child(*w, "password"), Qt::Key_Backspace);
        QVERIFY(!next->isEnabled());
    }

    // Return and Enter never reach the wizard or the focused sign-up button: with both fields
    // filled they act as Next (the fields stored exactly as typed), otherwise nothing happens.
    void returnKey()
    {
        struct Row
        {
            const char *user, *pass, *target;
            Qt::Key key;
            int page;
        };
        for (const Row &row : {Row{"", "pw", "password", Qt::Key_Return, 0},
                               Row{"  carol ", "pw", "userName", Qt::Key_Enter, 1},
                               Row{"", "", "needToRegister", Qt::Key_Enter, 0},
                               Row{"dave", "   ", "needToRegister", Qt::Key_Return, 1}}) {
            auto w = makeWindow(QString(), QString());
            // The first showing puts the focus on the sign-up button.
            QCOMPARE(w->focusWidget(), child<QPushButton>(*w, "needToRegister"));
            QTest::keyClicks(child(*w, "userName"), row.user);
            QTest::keyClicks(child(*w, "password"), row.pass);
            QWidget *target = child<QWidget>(*w, row.target);
            target->setFocus();
            browser.urls.clear();
            QSignalSpy returned(child(*w, "password"), &QLineEdit::returnPressed);
            QTest::keyClick(target, row.key);
            QCOMPARE(w->currentId(), row.page);
            QCOMPARE(browser.urls.size() + returned.count(), 0);
            if (row.page)
                QCOMPARE(dlrApp->getUserName() + '/' + dlrApp->getPassword(),
                         QString(row.user) + '/' + row.pass);
        }
    }

    void signUpOpensTheForumPage()
    {
        browser.urls.clear();
        auto w = makeWindow(QStringLiteral("erin"), QString());
        QTest::mouseClick(child<QPushButton>(*w, "needToRegister"), Qt::LeftButton);
        QCOMPARE(browser.urls.size(), 1);
        const QUrl &url = browser.urls.first();
        QCOMPARE(url.scheme() + url.path() + '?' + url.query(),
                 QStringLiteral("https/forum/register.php?action=signup"));
        QCOMPARE(w->currentId(), 0);
    }
};

TESS_TEST_MAIN(TestWindow)
#include "tst_window.moc"
