// The download and finished pages, fed by the stand-in: wixl-built packages are also installed.
#include "DlrDownload.h"
#include "DlrFinished.h"
#include "DlrQueueProgress.h"
#include "Offers.h"
#include "PackageBuilder.h"
#include "StandinServer.h"

#include <QAbstractButton>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QWizard>

namespace {
const QStringList Files{"Alpha-1.0.zip", "Beta-1.0.zip",  "Gamma-1.0.zip", "Slow-1.0.zip",
                        "Small-1.0.msi", "Large-1.0.msi", "Shout-1.0.MSI"};
enum Product { Alpha, Beta, Gamma, Slow, Small, Large, Shout };

QStringList downloads()
{
    return QDir(TessTest::downloadsDir()).entryList({"*.zip", "*.tessdownload"}, QDir::Files);
}

// The pages behind a plain first page, as the main window orders them; the bar's every value.
struct Wizard
{
    QWizard wizard;
    QWizardPage *start = new QWizardPage;
    DlrDownload *download = new DlrDownload(dlrApp, nullptr);
    DlrFinished *finished = new DlrFinished(dlrApp, nullptr);
    QList<int> bar;

    Wizard()
    {
        wizard.addPage(start);
        wizard.addPage(download);
        wizard.addPage(finished);
        wizard.setButtonLayout({QWizard::Stretch, QWizard::BackButton, QWizard::NextButton,
                                QWizard::FinishButton});
        QObject::connect(download->findChild<QProgressBar *>(), &QProgressBar::valueChanged,
                         [this](int value) { bar.append(value); });
        wizard.show();
    }
    QString label(const char *name) const { return download->findChild<QLabel *>(name)->text(); }
    QAbstractButton *back() const { return wizard.button(QWizard::CustomButton1); } // the page's
};
} // namespace

class TestDownloadPage : public QObject
{
    Q_OBJECT

    QTemporaryDir productsDir, machine;
    TessTest::StandinServer server;
    QList<DlrManifestElement> offers;

    // The manifest holds every product; the queue names the ones to work through.
    void setQueue(const QList<int> &queue)
    {
        dlrApp->manifestList() = offers;
        dlrApp->setDownloadQueue(queue);
    }
    int requests(Product p) const
    {
        return server.fetchJson("/debug/state").value("counts")["/products/" + Files[p]].toInt();
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
        server.setProducts(productsDir.path());
        server.addArguments({"--stall-seconds", "20"});
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        // Large enough that its install takes a moment and reports progress many times.
        for (const auto &[name, bytes] :
             {std::pair{"Small-1.0", 64 * 1024}, {"Large-1.0", 48 << 20}}) {
            TessTest::PackageBuilder builder(name);
            builder.addFile(QString("Orrel/%1/bin/tool.exe").arg(name),
                            "#!/bin/sh\necho tool >&2\n");
            builder.addFile(QString("Orrel/%1/lib/payload.dat").arg(name),
                            TessTest::PackageBuilder::randomBytes(bytes, 7));
            QString error;
            QVERIFY2(builder.build(productsDir.filePath(name + QString(".msi")), &error),
                     qPrintable(error));
        }
        // The same package under an upper-case extension is not run.
        QVERIFY(QFile::copy(productsDir.filePath(Files[Small]),
                            productsDir.filePath(Files[Shout])));
        for (const QString &file : Files) {
            const int size = 100 * 1024 + file.size() * 1000; // Slow: 111.719KB
            const QByteArray bytes = TessTest::PackageBuilder::randomBytes(size, qHash(file));
            QVERIFY(!file.endsWith(".zip")
                    || !TessTest::writeFile(productsDir.filePath(file), bytes).isEmpty());
            const QString url = server.url("/products/" + file).toString();
            const QByteArray onDisk = TessTest::readFile(productsDir.filePath(file));
            offers.append(TessTest::Offer(file)
                                  .label(file.section('-', 0, 0))
                                  .url(url)
                                  .size(onDisk.size()));
            offers.last().sha256
                    = QCryptographicHash::hash(onDisk, QCryptographicHash::Sha256).toHex();
        }
        QVERIFY(server.setProductFault(Files[Slow], "slow:48000")); // time for a Back box
    }
    void init()
    {
        for (const QString &f : QDir(TessTest::downloadsDir()).entryList(QDir::Files))
            QFile::remove(TessTest::downloadsDir() + '/' + f);
        for (Product p : {Alpha, Beta, Gamma, Small})
            server.setProductFault(Files[p], QString());
        dlrApp->setTransferTimeout(0);
    }

    // The queue to its end: failures' Retry asks again, Ignore goes on, Abort exits -1; no start:
    // 0.
    void queueRuns_data()
    {
        QTest::addColumn<QList<int>>("queue");
        QTest::addColumn<QStringList>("faults"); // of Alpha, Beta, Gamma; "name": Alpha's is "../"
        QTest::addColumn<QList<int>>("answers"); // to the failure boxes; Ok: "cannot start"
        QTest::addColumn<int>("exitCode");       // 1: reached the finished page
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<int>("betaRequests");
        using B = QMessageBox;
        const QList<int> all{Alpha, Beta, Gamma};
        QTest::newRow("three products") << all << QStringList{"", "", ""} << QList<int>{} << 1
                                        << QStringList(Files.mid(0, 3)) << 1;
        // A damaged file is deleted and fetched again; a partial one stays for later.
        QTest::newRow("retry, retry, ignore, ignore the last")
                << all << QStringList{"corrupt*1", "404", "short:1000"}
                << QList<int>{B::Retry, B::Retry, B::Ignore, B::Ignore} << 1
                << QStringList{"Alpha-1.0.zip", "Gamma-1.0.zip.tessdownload"} << 2;
        QTest::newRow("abort") << QList<int>{Beta} << QStringList{"", "500", ""}
                               << QList<int>{B::Abort} << -1 << QStringList{} << 1;
        QTest::newRow("cannot start") << QList<int>{Alpha} << QStringList{"name", "", ""}
                                      << QList<int>{B::Ok} << 0 << QStringList{} << 0;
    }
    void queueRuns()
    {
        QFETCH(QList<int>, queue);
        QFETCH(QStringList, faults);
        QFETCH(QList<int>, answers);
        QFETCH(QStringList, files);
        setQueue(queue);
        for (int p : {Alpha, Beta, Gamma})
            QVERIFY(faults[p] == "name" || server.setProductFault(Files[p], faults[p]));
        if (faults[Alpha] == "name")
            dlrApp->manifestList()[Alpha].name = "../"; // no usable file name
        const int betaBefore = requests(Beta);
        TessTest::BoxAnswerer boxes;
        for (int b : answers)
            boxes.enqueue(QMessageBox::StandardButton(b),
                          b == QMessageBox::Ok ? "downloadCannotStart" : "downloadFailed");
        Wizard w;
        connect(&w.wizard, &QWizard::currentIdChanged, [&w] {
            if (w.wizard.currentPage() == w.finished)
                QCoreApplication::exit(1);
        });
        // The application's own event loop, as the real program runs it; boxes come up inside.
        QTimer::singleShot(0, [&w] { w.wizard.next(); });
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        QFETCH(int, exitCode);
        QCOMPARE(QCoreApplication::exec(), exitCode);
        // The finished page offers only Finish.
        for (auto b : {QWizard::BackButton, QWizard::NextButton, QWizard::CustomButton1})
            QVERIFY(exitCode != 1 || !w.wizard.button(b)->isVisible());
        QCOMPARE(boxes.count(), answers.size());
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(downloads(), files);
        QTEST(requests(Beta) - betaBefore, "betaRequests");
        // The bar: never back (but on Retry), each share reached, downloads in its first half.
        const int s = DlrQueueProgress::step(queue.size());
        for (int i = 1; i < w.bar.size() && answers.isEmpty(); ++i)
            QVERIFY2(w.bar[i] >= w.bar[i - 1], qPrintable(QString::number(w.bar[i])));
        for (int v : w.bar)
            QVERIFY2(v % s <= s / 2 || v == queue.size() * s, qPrintable(QString::number(v)));
        for (int i = 1; i < queue.size(); ++i)
            QVERIFY(w.bar.contains(i * s));
        QVERIFY(!answers.isEmpty() || w.bar.last() == queue.size() * s);
    }

    // Back during a download. Cancel while it ends underneath the box: its end is held until the
    // box closes. Ok: back; the next entry skips what is done and continues the interrupted one.
    void backDuringADownload_data()
    {
        QTest::addColumn<int>("running"); // after Alpha
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("held"); // logged while the box is open
        QTest::newRow("Cancel, completed meanwhile")
                << int(Slow) << int(QMessageBox::Cancel)
                << "Download completed while in the back dialog";
        QTest::newRow("Cancel, failed meanwhile") << int(Beta) << int(QMessageBox::Cancel)
                                                  << "Download failed while in the back dialog";
        QTest::newRow("Ok") << int(Slow) << int(QMessageBox::Ok) << "";
    }
    void backDuringADownload()
    {
        QFETCH(int, running);
        QFETCH(int, answer);
        QFETCH(QString, held);
        setQueue({Alpha, running});
        const bool failing = running == Beta, ok = answer == QMessageBox::Ok;
        if (failing) {
            server.setProductFault(Files[Beta], "stall:1000");
            dlrApp->setTransferTimeout(800); // the stalled transfer fails while the box is open
        }
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::StandardButton(answer), "backDuringDownload",
                      [&] { return log.contains(held); });
        if (failing)
            boxes.enqueue(QMessageBox::Ignore, "downloadFailed");
        Wizard w;
        w.wizard.next();
        const QString name = offers[running].simpleName;
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("downloading  \"" + name + "\""), 10000);
        const int alphaRequests = requests(Alpha);
        if (ok) {
            // Received of announced in the user's units; after a second, speed and time left.
            QTRY_VERIFY(w.label("downloadAmount").endsWith("KB/111.719KB"));
            QVERIFY(w.bar.last() < 750); // the second half of the queue, part-way
            const QRegularExpression rate("^\\d+(\\.\\d)? KB/s, about \\d+ s left$");
            QTRY_VERIFY_WITH_TIMEOUT(rate.match(w.label("downloadRate")).hasMatch(), 2000);
        }
        // The page's own Back button stands in for the wizard's.
        QVERIFY(w.back()->isVisible() && !w.wizard.button(QWizard::BackButton)->isVisible());
        w.back()->click();
        QCOMPARE(boxes.seen().first().informativeText,
                 "Pressing Ok will stop this download of " + name
                         + ". Press Cancel to resume download and installation");
        QVERIFY(log.contains(held));
        if (ok) {
            QCOMPARE(w.wizard.currentPage(), w.start); // with the wizard's own buttons
            QVERIFY(!w.back()->isVisible());
            QTest::qWait(200); // the stopped download raises no failure box
            w.wizard.next();
        }
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(boxes.count(), failing ? 2 : 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(requests(Alpha), alphaRequests);
        QCOMPARE(downloads().contains(Files[running]), !failing);
        QCOMPARE(log.contains("Continuing the download at byte"), ok);
    }

    // While-you-wait pictures: image 1 missing is skipped, the last wraps; none: an empty frame.
    void whileYouWaitImagesSkipGapsAndWrap()
    {
        QTemporaryDir layout;
        QVERIFY(QDir(layout.path()).mkpath("lib/Resources/images"));
        for (int n : {2, 5}) {
            QImage image(10 * n, 10, QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            QVERIFY(image.save(layout.filePath("lib/Resources/images/whileUWait-%1.png").arg(n)));
        }
        const QString saved = dlrApp->getAppDirPath();
        QList<int> widths;
        for (const char *bin : {"lib", "nowhere"}) { // lib: its ../lib is there
            dlrApp->setAppDirPath(layout.filePath(bin));
            DlrDownload page(dlrApp, nullptr);
            auto *artwork = page.findChild<QLabel *>("downloadArtwork");
            for (int i = 0; i < 4; ++i, page.nextWhileUWait())
                widths.append(artwork->pixmap(Qt::ReturnByValue).width());
        }
        dlrApp->setAppDirPath(saved);
        QCOMPARE(widths, (QList<int>{20, 50, 20, 50, 0, 0, 0, 0}));
    }

    // Real packages installed in turn, the bar moving with the installer; ".MSI" is not run.
    void packagesAreInstalled()
    {
        setQueue({Large, Shout, Small});
        TessTest::LogCapture log;
        Wizard w;
        w.wizard.next();
        QTRY_VERIFY_WITH_TIMEOUT(w.label("downloadStatus") == "Installing Large...", 30000);
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 60000);
        QCOMPARE(w.label("downloadStatus"), QString()); // cleared when the installer ended
        // step 333: Large installs in 166..332, progress lines land strictly inside it.
        QVERIFY(w.bar.contains(166));
        QVERIFY(std::count_if(w.bar.begin(), w.bar.end(), [](int v) { return v > 166 && v < 333; })
                >= 2);
        QCOMPARE(w.bar.last(), 999);
        QCOMPARE(log.count("Installer finished 0  status  QProcess::NormalExit"), 2); // not Shout
        QVERIFY(QFile::exists(TessTest::downloadsDir() + "/Shout-1.0.MSI"));
        QCOMPARE(QFileInfo(machine.filePath("opt/Orrel/Large-1.0/lib/payload.dat")).size(),
                 qint64(48 << 20));
        QVERIFY(QFileInfo(machine.filePath("opt/Orrel/Small-1.0/bin/tool.exe")).isExecutable());
    }
};

TESS_TEST_MAIN(TestDownloadPage)
#include "tst_page.moc"
