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
    QString emptyManifest;

    // A window that runs without network or machine: the manifest comes from a file.
    std::unique_ptr<DlrMainWindow> makeWindow(const QString &user, const QString &pass)
    {
        dlrApp->setUserName(user);
        dlrApp->setPassword(pass);
        auto window = std::make_unique<DlrMainWindow>();
        window->show();
        return window;
    }

    static QLineEdit *field(DlrMainWindow &w, const char *name)
    {
        return w.page(0)->findChild<QLineEdit *>(QLatin1String(name));
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
        emptyManifest = machine.filePath(QStringLiteral("manifest.xml"));
        QFile f(emptyManifest);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<Products></Products>\n");
        f.close();
        DlrConfig c = dlrApp->config();
        c.manifestFile = emptyManifest;
        dlrApp->setConfig(c);
    }

    void pagesSizeAndButtons()
    {
        auto w = makeWindow(QString(), QString());
        QCOMPARE(w->sizeHint(), QSize(800, 400));
        QCOMPARE(w->windowTitle(), QStringLiteral("Tessaline Installer"));
        QCOMPARE(w->wizardStyle(), QWizard::ModernStyle);
        QCOMPARE(w->pageIds(), (QList<int>{0, 1, 2, 3}));
        QVERIFY(qobject_cast<DlrSignIn *>(w->page(0)));
        QVERIFY(qobject_cast<DlrSelection *>(w->page(1)));
        QVERIFY(qobject_cast<DlrDownload *>(w->page(2)));
        QVERIFY(qobject_cast<DlrFinished *>(w->page(3)));
        QCOMPARE(w->currentId(), 0);
        QVERIFY(!w->pixmap(QWizard::BannerPixmap).isNull());
        for (int id : w->pageIds())
            QCOMPARE(w->page(id)->subTitle(), QStringLiteral(" "));

        // Back and Next, right-aligned, no Cancel and no Help.
        QAbstractButton *back = w->button(QWizard::BackButton);
        QAbstractButton *next = w->button(QWizard::NextButton);
        QVERIFY(back->isVisible() && next->isVisible());
        QVERIFY(!w->button(QWizard::CancelButton)->isVisible());
        QVERIFY(!w->button(QWizard::HelpButton)->isVisible());
        QVERIFY(back->x() < next->x());
        QVERIFY(back->x() > w->width() / 2);
    }

    void missingImagesLeaveEmptyPixmaps()
    {
        QTemporaryDir layout;
        QDir(layout.path()).mkpath(QStringLiteral("bin"));
        const QString saved = dlrApp->getAppDirPath();
        dlrApp->setAppDirPath(layout.filePath(QStringLiteral("bin")));
        QVERIFY(dlrApp->GetPixmap("banner.png").isNull());
        QVERIFY(dlrApp->GetPixmap(nullptr).isNull());
        QVERIFY(dlrApp->GetIcon("banner.png").pixmap(16).isNull());
        DlrMainWindow w;
        QVERIFY(w.pixmap(QWizard::BannerPixmap).isNull());
        dlrApp->setAppDirPath(saved);
        QVERIFY(!dlrApp->GetPixmap("banner.png").isNull());
    }

    void startJoinsTheStyleSheetIntoOneLine()
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
        QCOMPARE(dlrApp->styleSheet(),
                 QStringLiteral("QLabel {  color: red;}QLineEdit { color: blue; }"));
        QVERIFY(dlrApp->getMainWindow()->isVisible());

        qss.remove();
        dlrApp->setStyleSheet(QString());
        QVERIFY(!dlrApp->Start());
        QCOMPARE(dlrApp->styleSheet(), QString()); // no file: unstyled
        dlrApp->getMainWindow()->hide();
        dlrApp->setAppDirPath(saved);
    }

    void prefilledFieldsEnableNextAtOnce()
    {
        auto w = makeWindow(QStringLiteral("alice"), QStringLiteral("secret"));
        QCOMPARE(field(*w, "userName")->text(), QStringLiteral("alice"));
        QCOMPARE(field(*w, "password")->text(), QStringLiteral("secret"));
        QCOMPARE(field(*w, "password")->echoMode(), QLineEdit::Password);
        QVERIFY(w->button(QWizard::NextButton)->isEnabled());

        auto empty = makeWindow(QString(), QString());
        QVERIFY(!empty->button(QWizard::NextButton)->isEnabled());
        QTest::keyClicks(field(*empty, "userName"), QStringLiteral("bob"));
        QVERIFY(!empty->button(QWizard::NextButton)->isEnabled());
        QTest::keyClicks(field(*empty, "password"), QStringLiteral("x"));
        QVERIFY(empty->button(QWizard::NextButton)->isEnabled());
        QTest::keyClick(field(*empty, "password"), Qt::Key_Backspace);
        QVERIFY(!empty->button(QWizard::NextButton)->isEnabled());
    }

    void returnKeyIsConsumedAndActsAsNextOnlyWhenComplete()
    {
        auto w = makeWindow(QString(), QString());
        QLineEdit *user = field(*w, "userName");
        QLineEdit *pass = field(*w, "password");
        QTest::keyClicks(pass, QStringLiteral("pw"));
        QTest::keyClick(pass, Qt::Key_Return);
        QCOMPARE(w->currentId(), 0); // user ID empty: nothing happens

        // The first showing moves the focus to the sign-up button; Return there with empty
        // fields must not reach the wizard either.
        auto *signUp = w->page(0)->findChild<QPushButton *>(QStringLiteral("needToRegister"));
        QVERIFY(signUp);
        QCOMPARE(w->focusWidget(), signUp);
        QTest::keyClick(signUp, Qt::Key_Enter);
        QCOMPARE(w->currentId(), 0);

        QTest::keyClicks(user, QStringLiteral("  carol "));
        QTest::keyClick(user, Qt::Key_Enter);
        QCOMPARE(w->currentId(), 1);
        // Stored exactly as typed.
        QCOMPARE(dlrApp->getUserName(), QStringLiteral("  carol "));
        QCOMPARE(dlrApp->getPassword(), QStringLiteral("pw"));
    }

    void nextCopiesBlanksUnchanged()
    {
        auto w = makeWindow(QString(), QString());
        QTest::keyClicks(field(*w, "userName"), QStringLiteral("dave"));
        QTest::keyClicks(field(*w, "password"), QStringLiteral("   "));
        QVERIFY(w->button(QWizard::NextButton)->isEnabled());
        w->next();
        QCOMPARE(w->currentId(), 1);
        QCOMPARE(dlrApp->getPassword(), QStringLiteral("   "));
        QCOMPARE(dlrApp->getUserName(), QStringLiteral("dave"));
    }

    void signUpOpensTheForumPage()
    {
        TessTest::UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
        auto w = makeWindow(QStringLiteral("erin"), QString());
        auto *signUp = w->page(0)->findChild<QPushButton *>(QStringLiteral("needToRegister"));
        QCOMPARE(signUp->text(), QStringLiteral("Need a Forum User ID?"));
        QTest::mouseClick(signUp, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

        QCOMPARE(recorder.urls.size(), 1);
        QCOMPARE(recorder.urls.first().scheme(), QStringLiteral("https"));
        QCOMPARE(recorder.urls.first().path(), QStringLiteral("/forum/register.php"));
        QCOMPARE(recorder.urls.first().query(), QStringLiteral("action=signup"));
        QCOMPARE(w->currentId(), 0);
        QCOMPARE(field(*w, "userName")->text(), QStringLiteral("erin"));
    }
};

TESS_TEST_MAIN(TestWindow)
#include "tst_window.moc"
