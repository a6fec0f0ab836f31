// The selection page in a wizard, against the stand-in service and a made-up machine: the rows
// it proposes, "Show All", Next, the free-space check at its boundary, the download queue, and
// the end when nothing is to be installed (a refused product list, and downloads found on
// disk: the end-to-end run).
#include "DlrMachineAssay.h"
#include "DlrSelection.h"
#include "DlrTexts.h"
#include "FakeMachine.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QListWidget>
#include <QWizard>

namespace {

// Offers of the service, in manifest order: "file|label|build id|size|default behaviour"; the
// older build is version 24.4. On the machine below (Maya 2024, an older build of Workserver
// 24.4) the rules choose 0, 1, 2 and 4, the default behaviour adds 5; 3 and 6 go behind
// "Show All".
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

class TestSelectionPage : public QObject
{
    Q_OBJECT

    TessTest::FakeMachine machine;
    TessTest::StandinServer server;
    QTemporaryDir scratch;
    std::unique_ptr<QWizard> wizard;
    DlrSelection *page = nullptr;

    // A wizard of three pages with the selection page in the middle, entered by Next; true when
    // the page was not complete (Next off) until it had listed the offers.
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
        QVERIFY(QDir().mkpath(products)
                && TessTest::StandinServer::writeProductsJson(products, productOffers()));
        server.setUsers({{QStringLiteral("demo"), QStringLiteral("demo-password")}});
        server.addArguments({QStringLiteral("--time-limit"), QStringLiteral("300")});
        server.setProducts(products);
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        DlrConfig config = dlrApp->config();
        config.manifestServer = QStringLiteral("127.0.0.1:%1").arg(server.port());
        config.manifestScheme = QStringLiteral("http");
        config.userName = QStringLiteral("demo");
        config.password = QStringLiteral("demo-password");
        dlrApp->setConfig(config);
        // A box left last on screen must not end the loops the tests run.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void cleanup()
    {
        wizard.reset();
        dlrApp->setDownloadQueue({});
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

        // Back to the first page and Next again: a new list of the proposed rows only, and the
        // switch no longer claims to show all.
        wizard->back();
        wizard->next();
        QVERIFY(waitForList());
        QCOMPARE(QString::number(showAll()->isChecked()) + rows().section(' ', 1), '0' + Chosen);
    }

    void freeSpaceOfExactlyTwiceTheDownloadsIsEnough()
    {
        QVERIFY(enterPage());
        for (int r = 2; r < list()->count(); ++r)
            setChecked(r, false);
        QList<DlrManifestElement> &manifest = dlrApp->manifestList();
        // The volume is shared with whatever else runs, so sizes come from the free space read
        // just before Next, and an attempt counts only when the page read the same figure.
        // Gives: accepted, the boxes shown, whether the last told the size needed.
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

    // Nothing checked: one box, and the application ends with 0.
    void nothingToInstallEndsWithCodeZero()
    {
        QVERIFY(enterPage());
        showAll()->click();
        for (int r = 0; r < list()->count(); ++r)
            setChecked(r, false);
        TessTest::BoxAnswerer answerer;
        answerer.enqueue(QMessageBox::Ok, QStringLiteral("noProducts"));
        // The application's loop ends with the code, or with -99 when nothing ends it.
        QTimer::singleShot(15000, wizard.get(), [] { QCoreApplication::exit(-99); });
        QTimer::singleShot(0, [this] { wizard->next(); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(answerer.count() - answerer.unexpectedCount(), 1);
        QCOMPARE(wizard->currentId(), 1);
        QVERIFY(dlrApp->getDownloadQueue().isEmpty());
    }
};

TESS_TEST_MAIN(TestSelectionPage)
#include "tst_page.moc"
