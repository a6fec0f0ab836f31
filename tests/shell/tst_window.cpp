// The sign-in page of the wizard window.
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

    template<typename T = QLineEdit>
    static T *child(DlrMainWindow &w, const char *name)
    {
        return w.page(0)->findChild<T *>(QLatin1String(name));
    }

private Q_SLOTS:
    // A window runs without network or machine: the manifest comes from a file.
    void initTestCase()
    {
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
        QFile f(machine.filePath(QStringLiteral("manifest.xml")));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("<Products></Products>\n") > 0);
        DlrConfig c = dlrApp->config();
        c.manifestFile = f.fileName();
        dlrApp->setConfig(c);
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    }

    // Next needs both fields. Return and Enter never reach the wizard or the focused sign-up
    // button: with both fields filled they act as Next (the fields stored exactly as typed),
    // otherwise nothing happens.
    void signIn()
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
            DlrMainWindow w(dlrApp);
            w.show();
            // The first showing puts the focus on the sign-up button.
            QCOMPARE(w.focusWidget(), child<QPushButton>(w, "needToRegister"));
            QCOMPARE(child(w, "password")->echoMode(), QLineEdit::Password);
            QTest::keyClicks(child(w, "userName"), row.user);
            QTest::keyClicks(child(w, "password"), row.pass);
            QCOMPARE(w.button(QWizard::NextButton)->isEnabled(), row.page == 1);
            QWidget *target = child<QWidget>(w, row.target);
            target->setFocus();
            QSignalSpy returned(child(w, "password"), &QLineEdit::returnPressed);
            QTest::keyClick(target, row.key);
            QCOMPARE(w.currentId(), row.page);
            QCOMPARE(browser.urls.size() + returned.count(), 0);
            if (row.page)
                QCOMPARE(dlrApp->getUserName() + '/' + dlrApp->getPassword(),
                         QString(row.user) + '/' + row.pass);
            dlrApp->setUserName(QString());
            dlrApp->setPassword(QString());
        }
        // A click on the sign-up button opens the forum's page.
        DlrMainWindow w(dlrApp);
        w.show();
        QTest::mouseClick(child<QPushButton>(w, "needToRegister"), Qt::LeftButton);
        const QUrl url = browser.urls.value(0);
        QCOMPARE(url.scheme() + url.path() + '?' + url.query() + QString::number(w.currentId()),
                 QStringLiteral("https/forum/register.php?action=signup0"));
    }
};

TESS_TEST_MAIN(TestWindow)
#include "tst_window.moc"
