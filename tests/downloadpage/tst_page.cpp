// The download and finished pages in a real wizard, downloading from the stand-in service over
// loopback: ".zip" products are only downloaded, packages built with wixl are also installed into
// a made-up machine. Also the bar arithmetic and the installer output reader.
#include "DlrDownload.h"
#include "DlrFinished.h"
#include "DlrInstallerOutput.h"
#include "DlrQueueProgress.h"
#include "PackageBuilder.h"
#include "StandinServer.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QWizard>

using namespace DlrQueueProgress;
using Answers = QList<QPair<int, QString>>; // button, box id

namespace {
const QStringList Files{"Alpha-1.0.zip", "Beta-1.0.zip",  "Gamma-1.0.zip", "Slow-1.0.zip",
                        "Small-1.0.msi", "Large-1.0.msi", "Shout-1.0.MSI"};
enum Product { Alpha, Beta, Gamma, Slow, Small, Large, Shout };

QStringList downloads()
{
    return QDir(TessTest::downloadsDir()).entryList({"*.zip", "*.tessdownload"}, QDir::Files);
}

// The download and finished pages behind a plain first page, as the main window orders them,
// recording every value the progress bar takes.
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
    void enter() { wizard.next(); } // the download page starts on the queue
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
    QString installed(const QString &relative) const
    {
        return machine.filePath("opt/Orrel/" + relative);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
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
        QList<QVariantMap> entries;
        for (const QString &file : Files) {
            QFile f(productsDir.filePath(file));
            const QByteArray bytes = TessTest::PackageBuilder::randomBytes(
                    100 * 1024 + file.size() * 1000, qHash(file));
            QVERIFY(!file.endsWith(".zip") || (f.open(QIODevice::WriteOnly) && f.write(bytes) > 0));
            entries.append({{"file", file}});
        }
        QVERIFY(TessTest::StandinServer::writeProductsJson(productsDir.path(), entries));
        server.setProducts(productsDir.path());
        server.addArguments({"--stall-seconds", "20"});
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        for (const QString &file : Files) {
            QFile f(productsDir.filePath(file));
            QVERIFY(f.open(QIODevice::ReadOnly));
            DlrManifestElement e;
            e.name = file;
            e.simpleName = file.section('-', 0, 0);
            e.downloadUrl = server.url("/products/" + file);
            e.fileSize = f.size();
            e.sha256 = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
            offers.append(e);
        }
        // Slow enough that a Back box can open while it runs.
        QVERIFY(server.setProductFault(Files[Slow], "slow:48000"));
    }
    void init()
    {
        for (const QString &f : QDir(TessTest::downloadsDir()).entryList(QDir::Files))
            QFile::remove(TessTest::downloadsDir() + '/' + f);
        for (Product p : {Alpha, Beta, Gamma, Small})
            server.setProductFault(Files[p], QString());
        dlrApp->setTransferTimeout(0);
    }

    // Each of n products owns 1000/n of the bar (truncated), the download its first half and
    // the install its second; single precision, truncated toward zero, clamped to the span.
    void barArithmetic()
    {
        QCOMPARE(QList<int>({step(3), step(7), step(0), doneValue(6, step(7))}),
                 QList<int>({333, 142, 0, 994}));
        QCOMPARE(requestValue(1, 333), 333);
        QCOMPARE(downloadValue(1, 333, 50, 100), 333 + 83);
        QCOMPARE(downloadValue(0, 1000, 1, 3), 166);
        QCOMPARE(downloadValue(0, 1000, 16777216, 16777217), 500); // 1 in single precision
        QCOMPARE(downloadValue(2, 250, 12345, 0), 500);            // no total announced
        QCOMPARE(downloadValue(2, 250, 12345, -1), 500);
        QCOMPARE(downloadValue(2, 250, 300, 100), 625); // more than announced
        QCOMPARE(installStartValue(1, 333), 333 + 166);
        QCOMPARE(installValue(1, 333, 50.0f), 333 + 166 + 83);
        QCOMPARE(installValue(1, 333, 100.0f), 665); // one short of the next product
        QCOMPARE(installValue(0, 500, 33.3f), 250 + 83);
        QCOMPARE(installValue(1, step(2), 50.0f), 875);
        QCOMPARE(installValue(2, 250, 250.0f), 750);
        QCOMPARE(installValue(2, 250, -5.0f), 625);
        QCOMPARE(installValue(2, 250, std::numeric_limits<float>::quiet_NaN()), 625);
    }

    void installerOutput()
    {
        const struct
        {
            QByteArray line;
            float percent; // -1: no progress, a status
            QString status;
        } table[] = {{"installer:%42.5\n", 42.5f, ""},
                     {"STATUS: copying installer:%10 files", 10.0f, ""},
                     {"installer:%1.2.3", 0.0f, ""},
                     {"installer:% 50", -1.0f, "% 50"},
                     {"PHASE:Copying files", -1.0f, "Copying files"},
                     {"STATUS:installer:Registering", -1.0f, "Registering"},
                     {"  caf\xc3\xa9 ok\r\n", -1.0f, "caf ok"},
                     {QByteArray("first\0second", 12), -1.0f, "first"},
                     {"", -1.0f, ""}};
        for (const auto &row : table) {
            const DlrInstallerOutput out = DlrInstallerOutput::parse(row.line);
            QCOMPARE(out.hasPercent ? out.percent : -1.0f, row.percent);
            QCOMPARE(out.hasPercent ? QString() : out.status, row.status);
        }
    }

    // The queue run to its end: one bar over the products, files already on disk, and the
    // failure box (Retry asks again, Ignore goes on, also on the last one, Abort ends with -1);
    // a download that cannot start at all says so and ends the program with 0.
    void queueRuns_data()
    {
        QTest::addColumn<QList<int>>("queue");
        QTest::addColumn<QStringList>("faults"); // of Alpha, Beta, Gamma; "name": Alpha's is "../"
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<int>("exitCode"); // 1: reached the finished page
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<int>("betaRequests");
        const QString failed = "downloadFailed";
        const QStringList none{"", "", ""};
        QTest::newRow("three products") << QList<int>{Alpha, Beta, Gamma} << none << Answers{} << 1
                                        << QStringList(Files.mid(0, 3)) << 1;
        QTest::newRow("already on disk")
                << QList<int>{Alpha, Beta} << QStringList{"", "on disk", ""} << Answers{} << 1
                << QStringList(Files.mid(0, 2)) << 0;
        // A damaged file is deleted and fetched again; a partial one stays for later.
        QTest::newRow("retry, retry, ignore, ignore the last")
                << QList<int>{Alpha, Beta, Gamma} << QStringList{"corrupt*1", "404", "short:1000"}
                << Answers{{QMessageBox::Retry, failed},
                           {QMessageBox::Retry, failed},
                           {QMessageBox::Ignore, failed},
                           {QMessageBox::Ignore, failed}}
                << 1 << QStringList{"Alpha-1.0.zip", "Gamma-1.0.zip.tessdownload"} << 2;
        QTest::newRow("abort") << QList<int>{Beta} << QStringList{"", "500", ""}
                               << Answers{{QMessageBox::Abort, failed}} << -1 << QStringList{} << 1;
        QTest::newRow("cannot start")
                << QList<int>{Alpha} << QStringList{"name", "", ""}
                << Answers{{QMessageBox::Ok, "downloadCannotStart"}} << 0 << QStringList{} << 0;
    }
    void queueRuns()
    {
        QFETCH(QList<int>, queue);
        QFETCH(QStringList, faults);
        QFETCH(Answers, answers);
        QFETCH(QStringList, files);
        setQueue(queue);
        for (int p : {Alpha, Beta, Gamma}) {
            if (faults[p] == "on disk") {
                QVERIFY(QFile::copy(productsDir.filePath(Files[p]),
                                    TessTest::downloadsDir() + '/' + Files[p]));
                dlrApp->CheckForDownload(p);
            } else if (faults[p] == "name") {
                dlrApp->manifestList()[p].name = "../"; // no usable file name
            } else {
                QVERIFY(server.setProductFault(Files[p], faults[p]));
            }
        }
        const int betaBefore = requests(Beta);
        TessTest::BoxAnswerer boxes;
        for (const auto &[button, id] : answers)
            boxes.enqueue(QMessageBox::StandardButton(button), id);
        Wizard w;
        connect(&w.wizard, &QWizard::currentIdChanged, [&w] {
            if (w.wizard.currentPage() == w.finished)
                QCoreApplication::exit(1);
        });
        // The application's own event loop, as the real program runs it; boxes come up inside.
        QTimer::singleShot(0, [&w] { w.enter(); });
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        QTEST(QCoreApplication::exec(), "exitCode");
        QCOMPARE(boxes.count(), answers.size());
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(downloads(), files);
        QTEST(requests(Beta) - betaBefore, "betaRequests");
        // The bar never goes back (but on Retry), reaches each product's share as it starts,
        // stays in the first half of the share while downloading, and ends full.
        const int s = step(queue.size());
        for (int i = 1; i < w.bar.size() && answers.isEmpty(); ++i)
            QVERIFY2(w.bar[i] >= w.bar[i - 1], qPrintable(QString::number(w.bar[i])));
        for (int v : w.bar)
            QVERIFY2(v % s <= s / 2 || v == queue.size() * s, qPrintable(QString::number(v)));
        for (int i = 1; i < queue.size(); ++i)
            QVERIFY(w.bar.contains(i * s));
        QVERIFY(!answers.isEmpty() || w.bar.last() == queue.size() * s);
        if (answers.size() < 4)
            return;
        const QString choice = ". Press Abort to exit, Retry or Ignore to try the next product";
        QCOMPARE(boxes.seen().at(0).informativeText,
                 "The downloaded file is damaged (checksum mismatch)" + choice);
        // Beta's second failure, after Retry: Retry is the default.
        QCOMPARE(boxes.seen().at(2).buttons,
                 QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
        QCOMPARE(boxes.seen().at(2).defaultButton, QMessageBox::Retry);
    }

    // Back during a download, answered Cancel while the download ends underneath the box: its
    // end is held and handled once the box is closed.
    void backCancelHoldsWhatEndsMeanwhile_data()
    {
        QTest::addColumn<QList<int>>("queue");
        QTest::addColumn<QString>("held");
        QTest::newRow("completion")
                << QList<int>{Slow, Alpha} << "Download completed while in the back dialog";
        QTest::newRow("failure") << QList<int>{Alpha, Beta}
                                 << "Download failed while in the back dialog";
    }
    void backCancelHoldsWhatEndsMeanwhile()
    {
        QFETCH(QList<int>, queue);
        QFETCH(QString, held);
        setQueue(queue);
        const bool failing = queue.first() == Alpha;
        if (failing) {
            server.setProductFault(Files[Beta], "stall:1000");
            dlrApp->setTransferTimeout(800); // the stalled transfer fails while the box is open
        }
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueueWhen(QMessageBox::Cancel, "backDuringDownload",
                          [&] { return log.contains(held); });
        if (failing)
            boxes.enqueue(QMessageBox::Ignore, "downloadFailed");
        Wizard w;
        w.enter();
        // The page's own Back button stands in for the wizard's.
        QVERIFY(w.back()->isVisible() && !w.wizard.button(QWizard::BackButton)->isVisible());
        const QString running = failing ? "Beta" : "Slow";
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("downloading  \"" + running + "\""), 10000);
        w.back()->click();
        QCOMPARE(boxes.seen().first().informativeText,
                 "Pressing Ok will stop this download of " + running
                         + ". Press Cancel to resume download and installation");
        QVERIFY(log.contains(held));
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(boxes.count(), failing ? 2 : 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(downloads().contains("Slow-1.0.zip"), !failing);
    }

    void backOkStopsTheDownloadAndStartsOverLater()
    {
        setQueue({Alpha, Slow});
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ok, "backDuringDownload");
        Wizard w;
        w.enter();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("downloading  \"Slow\""), 10000);
        const int alphaRequests = requests(Alpha);
        // Received of announced, in the units the user reads.
        QTRY_VERIFY(!w.label("downloadAmount").isEmpty());
        QVERIFY2(w.label("downloadAmount").endsWith("KB/111.719KB"),
                 qPrintable(w.label("downloadAmount")));
        QVERIFY(w.bar.last() < 750); // the second half of the queue, part-way
        // Under them, once a second of the transfer has been seen, its speed and time left.
        const QRegularExpression rate("^\\d+(\\.\\d)? KB/s, about \\d+ s left$");
        QTRY_VERIFY_WITH_TIMEOUT(rate.match(w.label("downloadRate")).hasMatch(), 2000);
        w.back()->click();
        QCOMPARE(w.wizard.currentPage(), w.start); // back, with the wizard's own buttons
        QVERIFY(!w.back()->isVisible());
        QTest::qWait(200);
        QCOMPARE(boxes.count(), 1); // the stopped download raised no failure box
        // Next starts again at the first product, which is not downloaded again; the
        // interrupted download is continued where it stopped.
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(requests(Alpha), alphaRequests);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(downloads(), (QStringList{"Alpha-1.0.zip", "Slow-1.0.zip"}));
        QVERIFY(log.contains("Continuing the download at byte"));
    }

    // Back between two products, and Back on an empty queue (the page stays, incomplete):
    // nothing to stop, no box.
    void backWithNothingToStopDoesNothing()
    {
        TessTest::BoxAnswerer boxes;
        for (const QList<int> &queue : {QList<int>{Alpha, Beta}, QList<int>{}}) {
            setQueue(queue);
            Wizard w;
            bool clicked = false;
            connect(dlrApp, qOverload<int>(&DlrApp::finishedDownload), &w.wizard, [&] {
                if (!std::exchange(clicked, true)) // while the timer for the next one is pending
                    QTimer::singleShot(0, [&] { w.back()->click(); });
            });
            w.enter();
            if (queue.isEmpty()) {
                QVERIFY(!w.download->isComplete()
                        && !w.wizard.button(QWizard::NextButton)->isEnabled());
                w.back()->click();
                QCOMPARE(w.wizard.currentPage(), w.download);
            } else {
                QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
                QVERIFY(clicked);
            }
        }
        QCOMPARE(boxes.count(), 0);
    }

    void whileYouWaitImagesSkipGapsAndWrap()
    {
        QTemporaryDir layout;
        QVERIFY(QDir(layout.path()).mkpath("lib/Resources/images")
                && QDir(layout.path()).mkpath("bin"));
        for (int n : {2, 5}) {
            QImage image(10 * n, 10, QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            QVERIFY(image.save(layout.filePath("lib/Resources/images/whileUWait-%1.png").arg(n)));
        }
        const QString saved = dlrApp->getAppDirPath();
        QList<int> widths;
        for (const char *bin : {"bin", "nowhere"}) {
            dlrApp->setAppDirPath(layout.filePath(bin));
            DlrDownload page(dlrApp, nullptr);
            for (int i = 0; i < 4; ++i) {
                widths.append(page.findChild<QLabel *>("downloadArtwork")
                                      ->pixmap(Qt::ReturnByValue)
                                      .width());
                page.nextWhileUWait();
            }
        }
        dlrApp->setAppDirPath(saved);
        // After the last one found the sequence starts again; the missing image 1 is skipped.
        // No image at all: an empty frame, and no endless search.
        QCOMPARE(widths, (QList<int>{20, 50, 20, 50, 0, 0, 0, 0}));
    }

    void finishedPageOffersOnlyFinishAndOpensTheSuccessPage()
    {
        setQueue({Gamma});
        const QUrl success = server.url("/view/Install-Success");
        dlrApp->setSuccessUrl(success);
        TessTest::UrlRecorder recorder;
        QDesktopServices::setUrlHandler("http", &recorder, "open");
        Wizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        for (auto which : {QWizard::BackButton, QWizard::NextButton, QWizard::CancelButton,
                           QWizard::CustomButton1})
            QVERIFY(!w.wizard.button(which)->isVisible());
        QAbstractButton *finish = w.wizard.button(QWizard::FinishButton);
        QVERIFY(finish->geometry().right() > w.wizard.width() * 3 / 4); // right-aligned
        finish->click();
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(recorder.urls, QList<QUrl>{success});
        QCOMPARE(w.wizard.result(), int(QDialog::Accepted));
    }

    // Real packages: each is downloaded and installed in turn, the install half of its share of
    // the bar moving with the installer's progress; a package named ".MSI" is not run.
    void packagesAreInstalled()
    {
        setQueue({Large, Shout, Small});
        TessTest::LogCapture log;
        Wizard w;
        QStringList status;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (status.isEmpty() || status.last() != w.label("downloadStatus"))
                status.append(w.label("downloadStatus"));
        });
        poll.start(1);
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 60000);
        QVERIFY(status.contains("Downloading Large...") && status.contains("Installing Large..."));
        QCOMPARE(w.label("downloadStatus"), QString()); // cleared when the installer ended
        // step 333: Large installs in 166..332, progress lines land strictly inside it.
        QVERIFY(w.bar.contains(166));
        QVERIFY(std::count_if(w.bar.begin(), w.bar.end(), [](int v) { return v > 166 && v < 333; })
                >= 2);
        QCOMPARE(w.bar.last(), 999);
        QCOMPARE(log.count("Installer finished 0  status  QProcess::NormalExit"), 2);
        QVERIFY(QFile::exists(TessTest::downloadsDir() + "/Shout-1.0.MSI"));
        QVERIFY(!QFile::exists(installed("Shout-1.0")));
        QCOMPARE(QFileInfo(installed("Large-1.0/lib/payload.dat")).size(), qint64(48 << 20));
        QVERIFY(QFileInfo(installed("Small-1.0/bin/tool.exe")).isExecutable());
    }

    // Back during an install, answered Ok only once the install has ended underneath the box:
    // the install is never interrupted, and the wizard then goes back instead of on.
    void installEndHeldDuringTheBackBoxThenBack()
    {
        setQueue({Large, Small});
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueueWhen(QMessageBox::Ok, "backDuringInstall", [&log] {
            return log.contains("Installer finished while waiting for user input");
        });
        Wizard w;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (w.label("downloadStatus") == "Installing Large...") {
                watch.stop();
                w.back()->click();
            }
        });
        watch.start(1);
        w.enter();
        QTRY_VERIFY_WITH_TIMEOUT(!watch.isActive() && !boxes.isHolding(), 30000);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().informativeText,
                 QString("Once Large is installed the Tessaline Installer will go back"));
        QCOMPARE(w.wizard.currentPage(), w.start);
        QTest::qWait(100);
        QVERIFY(!log.contains("downloading  \"Small\""));
        QVERIFY(QFile::exists(installed("Large-1.0/lib/payload.dat")));
    }

    // Only a negative code or an abnormal exit is an error; the queue moves on either way.
    void exitCodesAndStatus()
    {
        const struct
        {
            int code;
            QProcess::ExitStatus status;
            bool box;
        } table[] = {{2, QProcess::NormalExit, false},
                     {-1, QProcess::NormalExit, true},
                     {0, QProcess::CrashExit, true}};
        for (const auto &row : table) {
            setQueue({Small});
            server.setProductFault(Files[Small], "stall");
            dlrApp->setTransferTimeout(1000); // so the stalled transfer ends after the check
            TessTest::LogCapture log;
            {
                TessTest::BoxAnswerer boxes;
                boxes.enqueue(QMessageBox::Ok, "installerExitError");
                Wizard w;
                w.enter(); // the download stalls: the page holds Small
                w.download->installerFinished(row.code, row.status);
                QCOMPARE(boxes.count(), int(row.box));
                QVERIFY(!row.box
                        || boxes.last().text
                                   == QString("Installer exited with err. Exit code: %1")
                                              .arg(row.code));
                QTRY_COMPARE(w.wizard.currentPage(), w.finished);
            }
            QTRY_VERIFY_WITH_TIMEOUT(log.contains("finished download"), 10000);
        }
    }
};

TESS_TEST_MAIN(TestDownloadPage)
#include "tst_page.moc"
