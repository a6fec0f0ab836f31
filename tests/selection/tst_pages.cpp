// The wizard against the stand-in service over loopback and a made-up machine: the manifest
// request; the sign-in page; the selection page's proposal, "Show All", Next, the free-space
// boundary, the download queue and the end with nothing to install.
#include "DlrMachineAssay.h"
#include "DlrMainWindow.h"
#include "DlrSelection.h"
#include "DlrTexts.h"
#include "FakeMachine.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDesktopServices>
#include <QJsonArray>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QWizard>

namespace {
QString listed()
{
    QStringList names;
    for (const DlrManifestElement &e : dlrApp->manifestList())
        names << e.name;
    return names.join(',');
}

// "file|label|build id|size|default behaviour" (the older build is 24.4). On the machine below the
// rules choose 0, 1, 2 and 4, the default behaviour adds 5; 3 and 6 go behind "Show All".
QList<QVariantMap> productOffers()
{
    QList<QVariantMap> offers;
    for (const char *row :
         {"TessalineWorkserver-25.1_2301450-win64.msi|Tessaline Workserver 25.1|2301450|3000|",
          "TessalineForMaya-25.1_2301450-win64.msi|Tessaline for Maya 25.1|2301450|2000|",
          "TessalineForMaya-25.1-maya2024_2301450-win64.msi|Tessaline 25.1 for Maya "
          "2024|2301450|1000|",
          "TessalineForMaya-25.1-maya2022_2301450-win64.msi|Tessaline 25.1 for Maya "
          "2022|2301450|1000|",
          "TessalineWorkserver-24.4_2226589-win64.msi|Tessaline Workserver 24.4|2226589|2500|",
          "ReleaseNotes-25.1.pdf|Release Notes 25.1|2301450|100|show",
          "Harrow-25.1_2301450-win64.msi|Harrow Queue 25.1|2301450|700|"}) {
        const QStringList f = QString(row).split('|');
        const bool older = f.at(2) == "2226589";
        offers.append({{"file", f.at(0)},
                       {"simpleName", f.at(1)},
                       {"buildId", f.at(2)},
                       {"versionMajor", older ? "24" : "25"},
                       {"versionMinor", older ? "4" : "1"},
                       {"size", f.at(3).toInt()},
                       {"defaultBehavior", f.at(4)}});
    }
    return offers;
}

// The labels of the proposed rows, and of those "Show All" adds.
const QString Chosen = "Tessaline Workserver 25.1,Tessaline for Maya 25.1,Tessaline 25.1 for Maya "
                       "2024,Tessaline Workserver 24.4,Release Notes 25.1";
const QString Hidden = ",Tessaline 25.1 for Maya 2022,Harrow Queue 25.1";
} // namespace

class TestServicePages : public QObject
{
    Q_OBJECT

    TessTest::FakeMachine machine;
    TessTest::StandinServer server, offers; // offers: the selection page's
    QTemporaryDir scratch;
    DlrConfig pristine;
    TessTest::UrlRecorder browser;
    std::unique_ptr<QWizard> wizard;
    DlrSelection *page = nullptr;

    template<typename T = QLineEdit>
    static T *child(DlrMainWindow &w, const char *name)
    {
        return w.page(0)->findChild<T *>(QLatin1String(name));
    }

    QUrl url(const QString &fault = QString()) const
    {
        return server.url(QStringLiteral("/forum/currentproducts.php")
                          + (fault.isEmpty() ? QString() : "?fault=" + fault));
    }

    // Runs the request and waits for its one signal; the reason, "" when valid.
    QString requestAndWait(const QString &fault,
                           const QString &pass = QStringLiteral("demo-password"),
                           const QString &user = QStringLiteral("demo"))
    {
        QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
        QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
        dlrApp->RequestManifest(url(fault), user, pass, QStringLiteral("windows"));
        const int inside = valid.count() + invalid.count();
        (void)QTest::qWaitFor([&] { return valid.count() + invalid.count() > 0; }, 15000);
        QTest::qWait(50); // nothing else may follow
        if (inside || valid.count() + invalid.count() != 1)
            return QStringLiteral("<%1 signals, %2 inside the call>")
                    .arg(valid.count() + invalid.count())
                    .arg(inside);
        return invalid.isEmpty() ? QString() : invalid.first().first().toString();
    }

    // The page between two others, entered by Next; true when Next stayed off until it listed.
    bool enterPage()
    {
        wizard.reset(new QWizard);
        wizard->addPage(new QWizardPage);
        wizard->addPage(page = new DlrSelection(dlrApp, wizard.get()));
        wizard->addPage(new QWizardPage);
        wizard->show();
        wizard->next();
        return !wizard->button(QWizard::NextButton)->isEnabled() && waitForList();
    }
    bool waitForList()
    {
        return QTest::qWaitFor([this] { return page->isComplete(); }, 15000);
    }

    QListWidget *list() const { return page->findChild<QListWidget *>(); }
    QCheckBox *showAll() const { return page->findChild<QCheckBox *>(QStringLiteral("showAll")); }
    void setChecked(int row, bool on) { list()->item(row)->setCheckState(Qt::CheckState(2 * on)); }

    // The check marks ("x" checked, "-" not), a space, the labels joined by ",".
    QString rows() const
    {
        QString marks;
        QStringList labels;
        for (int r = 0; r < list()->count(); ++r) {
            marks += list()->item(r)->checkState() == Qt::Checked ? 'x' : '-';
            labels << list()->item(r)->text();
        }
        return marks + ' ' + labels.join(',');
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(machine.build({"--maya", "2024", "--workserver", "24.4:2226000"}, &error),
                 qPrintable(error));
        // Before the survey object exists: its search roots are fixed when it is made.
        machine.activate();
        const QString products = scratch.filePath(QStringLiteral("products"));
        const QString offered = scratch.filePath(QStringLiteral("offers"));
        QVERIFY(QDir().mkpath(products) && QDir().mkpath(offered)
                && TessTest::StandinServer::writeProductsJson(offered, productOffers())
                && TessTest::StandinServer::writeProductsJson(
                        products, {QVariantMap{{"file", "W-25.1.msi"}, {"size", 4321}},
                                   QVariantMap{{"file", "M-25.1.msi"}, {"size", 777}}}));
        server.setProducts(products);
        server.setUsers({{QStringLiteral("demo"), QStringLiteral("demo-password")},
                         {QStringLiteral("a&b"), QStringLiteral("p&q \"x\"")}});
        server.addArguments({"--echo-requests", "--stall-seconds", "8"});
        offers.setProducts(offered);
        offers.setUsers({{QStringLiteral("demo"), QStringLiteral("demo-password")}});
        offers.addArguments({QStringLiteral("--time-limit"), QStringLiteral("300")});
        QVERIFY2(server.start() && offers.start(),
                 qPrintable(server.errorText() + offers.errorText()));
        // The selection page asks the offers' service; the request tests name their address.
        pristine = dlrApp->config();
        pristine.manifestServer = QStringLiteral("127.0.0.1:%1").arg(offers.port());
        pristine.manifestScheme = QStringLiteral("http");
        pristine.userName = QStringLiteral("demo");
        pristine.password = QStringLiteral("demo-password");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
        // A box left last on screen must not end the loops the tests run.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void init()
    {
        dlrApp->setConfig(pristine);
        dlrApp->setTransferTimeout(3000);
        qunsetenv("DLR_APPEND_MANIFEST_FILE");
    }

    void cleanup()
    {
        wizard.reset();
        dlrApp->setDownloadQueue({});
    }

    void outcomes()
    {
        struct Row
        {
            const char *fault, *reason, *logLine;
            int offers; // -1: an abandoned body may or may not have given its first offer
        };
        const char *unknown = "Unknown manifest Validation";
        const char *denied = "Manifest request denied";
        const char *bad = "bad manifest reply";
        for (const Row &row :
             {Row{"", "", "Manifest request approved", 2},
              Row{"error:%20%20On%20hold%20%20", "On hold", denied, 0},
              Row{"error", denied, denied, 0},
              Row{"lowercase", unknown, "Crikey! unknown manifest Validation", 0},
              Row{"novalidation", unknown, "Crikey!", 0}, Row{"500", unknown, "Crikey!", 0},
              Row{"close", unknown, "Crikey!", 0},
              Row{"dead", unknown, "Crikey!", 0}, // the transfer timeout
              Row{"malformed", bad, "Bad Wolf:", 2}, Row{"slow:1", "", "approved", 2},
              // The body cap, to the byte: 32 MiB is read, a byte more is abandoned.
              Row{"huge:32", "", "approved", 1},
              Row{"huge:32.00000095367431640625", bad, "abandoning it", -1}}) {
            TessTest::LogCapture log;
            QCOMPARE(requestAndWait(row.fault), QString(row.reason));
            QVERIFY2(log.contains(row.logLine), qPrintable(log.lines().join('\n')));
            QVERIFY(row.offers < 0 || dlrApp->manifestList().size() == row.offers);
            for (const QString &line : log.lines())
                QVERIFY(line.size() < 1024 * 1024
                        && !line.contains(QStringLiteral("demo-password")));
        }
        // The form as the service reads it: only the user name is escaped.
        QCOMPARE(requestAndWait(QString(), QStringLiteral("p&q \"x\""), QStringLiteral("a&b")),
                 QString());
        QStringList parts;
        for (const QJsonValue &part :
             server.fetchJson(QStringLiteral("/debug/last-request"))["parts"].toArray())
            parts << part["headers"]["Content-Disposition"].toString().section('"', 1, 1) + '='
                             + part["body"].toString();
        QCOMPARE(parts.join(' '),
                 QStringLiteral("platform=windows username=a&amp;b userpass=p&q \"x\""));
        QCOMPARE(dlrApp->getSuccessUrl(), server.url(QStringLiteral("/view/Install-Success")));
    }

    // The appended file (configuration or environment) follows any approved body; the list starts
    // empty; a later request supersedes an earlier one; the dump replaces a longer one; file mode.
    void appendedFileSupersededRequestAndDump()
    {
        const QString appended = TessTest::writeFile(
                scratch.filePath(QStringLiteral("append.xml")),
                "<M><ProductInfo><Name>Appended.msi</Name></ProductInfo></M>");
        const QString dumpPath = TessTest::writeFile(TessTest::downloadsDir() + "/manifest.xml",
                                                     QByteArray(100000, 'o'));
        DlrConfig config = pristine;
        config.appendManifestFile = appended;
        config.dumpManifest = true;
        dlrApp->setConfig(config);
        QCOMPARE(requestAndWait(QStringLiteral("malformed")), QStringLiteral("bad manifest reply"));
        QCOMPARE(listed(), QStringLiteral("W-25.1.msi,broken,Appended.msi"));
        QVERIFY(TessTest::readFile(dumpPath).trimmed().endsWith("</Nme>"));
        QVERIFY(QFile::remove(dumpPath));
        // A manifest file instead: read at once; nothing sent, appended or dumped.
        config.manifestFile = appended;
        dlrApp->setConfig(config);
        QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
        dlrApp->RequestManifest(url("error"), "demo", "demo-password", "windows");
        QCOMPARE(listed() + QString::number(valid.count()), QStringLiteral("Appended.msi1"));
        QVERIFY(!QFile::exists(dumpPath));

        dlrApp->setConfig(pristine);
        qputenv("DLR_APPEND_MANIFEST_FILE", QFile::encodeName(appended));
        TessTest::LogCapture log;
        // The first would be denied, late; only the second may be answered.
        dlrApp->RequestManifest(url(QStringLiteral("slow:1")), "demo", "wrong", "windows");
        QCOMPARE(requestAndWait(QString()), QString());
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("Ignoring a reply nobody waits for")),
                                 10000);
        QCOMPARE(listed(), QStringLiteral("W-25.1.msi,M-25.1.msi,Appended.msi"));
    }

    // Next needs both fields. Return and Enter never reach the wizard or the focused sign-up
    // button: with both fields filled they act as Next (fields stored as typed), else nothing.
    void signIn()
    {
        DlrConfig c = pristine; // empty fields; no network: the manifest comes from a file
        c.userName = c.password = QString();
        c.manifestFile
                = TessTest::writeFile(scratch.filePath("empty.xml"), "<Products></Products>\n");
        dlrApp->setConfig(c);
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
        DlrMainWindow w(dlrApp); // a click on the sign-up button opens the forum's page
        w.show();
        QTest::mouseClick(child<QPushButton>(w, "needToRegister"), Qt::LeftButton);
        const QUrl opened = browser.urls.value(0);
        QCOMPARE(opened.scheme() + opened.path() + '?' + opened.query()
                         + QString::number(w.currentId()),
                 QStringLiteral("https/forum/register.php?action=signup0"));
    }

    void proposalAndShowAll()
    {
        QVERIFY(enterPage());
        showAll()->click();
        QCOMPARE(rows(), "xxxxx-- " + Chosen + Hidden);
        setChecked(1, false); // a chosen row
        setChecked(6, true);  // a hidden row
        showAll()->click();   // hidden rows go
        QCOMPARE(rows(), "x-xxx " + Chosen);
        showAll()->click(); // back: the chosen row keeps its choice, the hidden one starts over
        QCOMPARE(rows(), "x-xxx-- " + Chosen + Hidden);
        setChecked(6, true);
        QVERIFY(wizard->validateCurrentPage());
        // Checked rows in row order: chosen part, then hidden part.
        QCOMPARE(dlrApp->getDownloadQueue(), QList<int>({0, 2, 4, 5, 6}));

        // Back to the first page and Next again: "Show All" as it was left, the list following
        // it, and the check marks of the earlier visit kept row by row.
        wizard->back();
        wizard->next();
        QVERIFY(waitForList());
        QCOMPARE(QString::number(showAll()->isChecked()) + rows(), "1x-xxx-x " + Chosen + Hidden);

        // Nothing checked: one box, and the application's loop ends with 0 (not -99).
        for (int r = 0; r < list()->count(); ++r)
            setChecked(r, false);
        TessTest::BoxAnswerer answerer;
        answerer.enqueue(QMessageBox::Ok, QStringLiteral("noProducts"));
        QTimer::singleShot(15000, wizard.get(), [] { QCoreApplication::exit(-99); });
        QTimer::singleShot(0, [this] { wizard->next(); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(answerer.count() - answerer.unexpectedCount(), 1);
        QCOMPARE(wizard->currentId(), 1);
        QVERIFY(dlrApp->getDownloadQueue().isEmpty());
    }

    void freeSpaceOfExactlyTwiceTheDownloadsIsEnough()
    {
        QVERIFY(enterPage());
        for (int r = 2; r < list()->count(); ++r)
            setChecked(r, false);
        QList<DlrManifestElement> &manifest = dlrApp->manifestList();
        // Sizes from the free space read just before Next; an attempt counts only when the page
        // read the same figure. Gives: accepted, the boxes shown, whether the last told the size.
        auto attempt = [&](qint64 extra) {
            const qint64 free
                    = DlrMachineAssay::Instance()->GetAvailableDisk(*dlrApp->GetDownloadDir());
            manifest[0].fileSize = free / 4;
            manifest[1].fileSize = free / 4 + extra;
            TessTest::LogCapture log;
            TessTest::BoxAnswerer answerer;
            answerer.enqueue(QMessageBox::Ok, QStringLiteral("notEnoughSpace"));
            const bool accepted = wizard->validateCurrentPage();
            const QString read = log.lines().filter(QRegularExpression("^Bytes avail on")).value(0);
            const bool box = answerer.last().informativeText.startsWith(
                    "Needed " + sizeText(2 * (manifest[0].fileSize + manifest[1].fileSize)));
            return free > 0 && read.simplified().section(' ', -1).toLongLong() == free
                           ? QStringLiteral("%1 %2 %3").arg(accepted).arg(answerer.count()).arg(box)
                           : QString();
        };
        QString over, exact;
        for (int i = 0; i < 20 && over.isEmpty(); ++i)
            over = attempt(1); // needed is two bytes more than free
        QCOMPARE(over + QString::number(dlrApp->getDownloadQueue().size()),
                 QStringLiteral("0 1 10"));
        for (int i = 0; i < 20 && exact.isEmpty(); ++i)
            exact = attempt(0); // needed is exactly the free space
        QCOMPARE(exact, QStringLiteral("1 0 0"));
        QCOMPARE(dlrApp->getDownloadQueue(), QList<int>({0, 1}));
    }
};

TESS_TEST_MAIN(TestServicePages)
#include "tst_pages.moc"
