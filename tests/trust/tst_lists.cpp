// Believing product lists: the signature check and the decision over a run's lists, the
// remembered version, and a package held while it is checked (the tamper table runs the same
// rules end to end through the launcher). Keys
// and signed lists come fresh from make_fixtures.py (openssl, tools/sign-manifest).
#include "DlrManifestTrust.h"
#include "DlrSeenVersions.h"
#include "DlrTrustPlatform.h"
#include "TestSupport.h"

#include <QSaveFile>

namespace {
QString fixture(const QString &name)
{
    return qEnvironmentVariable("TESS_TRUST_FIXTURES") + '/' + name;
}

const QDateTime Now(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC);

// "BODY SIGNATURE": BODY is list (the signed bytes) or flip@N (byte N changed, from the end when
// negative); SIGNATURE is maker, none, wrapped (over lines), long (a byte after the DER),
// text:<the header's text>. (A body digested as it arrives: the tamper table's service rows.)
DlrListEvidence
evidence(const QString &spec, int index, const QString &version, const QString &expires)
{
    const QString body = spec.section(' ', 0, 0);
    const QString signature = spec.section(' ', 1);
    DlrListEvidence list;
    list.origin = index == 0 ? QStringLiteral("the service")
                             : QStringLiteral("appended-%1.xml").arg(index);
    list.body = TessTest::readFile(fixture("list.xml"));
    if (body.startsWith("flip@")) {
        const int at = body.mid(5).toInt();
        const int i = at < 0 ? list.body.size() + at : at;
        list.body[i] = char(list.body.at(i) ^ 1);
    }
    const QByteArray maker = TessTest::readFile(fixture("list.xml.sig")).trimmed();
    if (signature == "maker")
        list.signature = maker;
    else if (signature == "wrapped")
        list.signature = maker.left(20) + "\n" + maker.mid(20, 40) + "\r\n " + maker.mid(60) + "\n";
    else if (signature == "long")
        list.signature = (QByteArray::fromBase64(maker) + '\0').toBase64();
    else if (signature.startsWith("text:"))
        list.signature = signature.mid(5).toLatin1();
    list.version = version == "~" ? QString() : version;
    list.expires = expires == "~" ? QString() : expires;
    return list;
}
} // namespace

class TestLists : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decision_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QStringList>("lists");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("expires");
        QTest::addColumn<qint64>("seen");
        QTest::addColumn<QString>("expected"); // outcome|version to remember|reason
        QTest::addColumn<QString>("logged");   // in one of the lines for the log

        const QString both = "maker1 maker2"; // the list is signed with the second
        const QString in2027 = "2027-01-31T00:00:00Z";
        const QString notSigned = "refused|-1|The product list is not signed by the maker";
        const QString older = "refused|-1|The product list is older than one already seen";
        const auto row = [&](const char *name, const QString &keys, const QStringList &lists,
                             const QString &version, const QString &expires, qint64 seen,
                             const QString &expected, const QString &logged) {
            QTest::newRow(name) << keys << lists << version << expires << seen << expected
                                << logged;
        };
        row("good, second of two keys", both, {"list maker"}, "42", in2027, 41, "believed|42|",
            "signed by the maker (verified by key 2)");
        row("wrapped over lines", both, {"list wrapped"}, "42", in2027, 0, "believed|42|", "key 2");
        row("a byte changed: last", both, {"flip@-1 maker"}, "42", in2027, 0, notSigned,
            "from the service: signature bad signature");
        row("not base64: cut short", both, {"list text:MEYCIQ"}, "42", in2027, 0, notSigned,
            "signature not base64");
        row("not DER: a byte after it", both, {"list long"}, "42", in2027, 0, notSigned,
            "signature not DER");
        row("no P-256 key", "p384", {"list maker"}, "42", in2027, 0, notSigned,
            "signature no usable key");
        row("the same version", both, {"list maker"}, "42", in2027, 42, "believed|-1|", "key 2");
        row("no version, one seen", both, {"list maker"}, "~", in2027, 5, older,
            "gives no readable ManifestVersion");
        row("expires this moment", both, {"list maker"}, "42", "2026-12-06T12:00:00Z", 0,
            "refused|-1|The product list expired on 2026-12-06 12:00 UTC", "it expired on");
        row("no expiry", both, {"list maker"}, "42", "~", 0, "believed|42|", "does not expire");
        row("appended signed file", both, {"list maker", "list maker"}, "42", in2027, 0,
            "believed|42|", "appended-1.xml is signed");
        row("developer's build", "", {"list none"}, "42", in2027, 43, older,
            "Product lists are not verified");
        row("developer's build: current", "", {"list none"}, "42", in2027, 7, "unverified|-1|",
            "not verified");
    }

    void decision()
    {
        QFETCH(QString, keys);
        QFETCH(QStringList, lists);
        QFETCH(QString, version);
        QFETCH(QString, expires);
        QFETCH(qint64, seen);
        QFETCH(QString, expected);
        QFETCH(QString, logged);
        QList<QByteArray> pem;
        for (const QString &name : keys.split(' ', Qt::SkipEmptyParts))
            pem << TessTest::readFile(fixture("keys/" + name + ".pub"));
        QList<DlrListEvidence> evidence;
        for (const QString &spec : lists)
            evidence << ::evidence(spec, evidence.size(), version, expires);

        const DlrManifestTrust::Verdict verdict = DlrManifestTrust(pem, seen, Now).check(evidence);
        const char *outcomes[] = {"believed", "unverified", "refused"};
        QCOMPARE(QStringLiteral("%1|%2|%3")
                         .arg(outcomes[int(verdict.outcome)])
                         .arg(verdict.remember)
                         .arg(verdict.reason),
                 expected);
        const QString log = (verdict.warnings + verdict.notes).join('\n');
        QVERIFY2(log.contains(logged), qPrintable(log));
    }

    void rememberedVersion_data()
    {
        QTest::addColumn<QByteArray>("content"); // "<none>": no file; "<folder>": unreadable
        QTest::addColumn<qint64>("highest");
        QTest::addColumn<QString>("warned");
        QTest::addColumn<qint64>("afterRemembering50");

        const QByteArray good
                = (DlrSeenVersions::lineFor(40) + '\n' + DlrSeenVersions::lineFor(41) + '\n')
                          .toLatin1();
        QTest::newRow("torn after the number") << good + "4" << 41LL << "readable: 41" << 50LL;
        QTest::newRow("raised by hand") << "99\n" + good << 41LL << "readable: 41" << 50LL;
        QTest::newRow("all damaged") << QByteArray("\x01garbage\n") << 0LL << "readable: 0" << 50LL;
        QTest::newRow("unreadable") << QByteArray("<folder>") << 0LL << "Cannot read" << 0LL;
    }

    void rememberedVersion()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, highest);
        QFETCH(QString, warned);
        QFETCH(qint64, afterRemembering50);
        QTemporaryDir dir;
        const QString path = dir.filePath("tessinstaller.versions");
        if (content == "<folder>")
            QVERIFY(QDir().mkdir(path));
        else if (content != "<none>")
            QVERIFY(!TessTest::writeFile(path, content).isEmpty());

        DlrSeenVersions seen(path);
        QStringList warnings;
        QCOMPARE(seen.load(&warnings), highest);
        QCOMPARE(warnings.join('\n').contains(warned), true);
        QCOMPARE(warnings.isEmpty(), warned.isEmpty());
        QString error;
        QVERIFY2(seen.remember(50, &error) == (content != "<folder>"), qPrintable(error));

        DlrSeenVersions again(path);
        warnings.clear();
        QCOMPARE(again.load(&warnings), afterRemembering50);
        QCOMPARE(QFileInfo(path).isDir(), content == "<folder>");
    }

    // What can still happen to a package while it is held, and what the holder sees: on
    // Windows nothing can write, replace or delete it; on Linux all three can, and are seen.
    void heldPackage_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("afterwards"); // "intact", or what stillIntact says
#ifdef Q_OS_WIN
        const char *written = "intact", *replaced = "intact", *deleted = "intact";
#else
        const char *written = "changed after", *replaced = "replaced or removed after",
                   *deleted = "replaced or removed after";
#endif
        QTest::newRow("left alone") << "none"
                                    << "intact";
        QTest::newRow("written in place") << "write" << written;
        QTest::newRow("replaced by a rename") << "replace" << replaced;
        QTest::newRow("deleted") << "delete" << deleted;
    }

    void heldPackage()
    {
        QFETCH(QString, action);
        QFETCH(QString, afterwards);
        QTemporaryDir dir;
        const QString path = dir.filePath("package.msi");
        const QByteArray bytes = QByteArray(3 << 20, 'p') + "end";
        QVERIFY(!TessTest::writeFile(path, bytes).isEmpty());

        DlrPlatform::HeldFile held;
        QByteArray digest;
        QVERIFY2(held.holdAndDigest(path, &digest), qPrintable(held.errorString()));
        QCOMPARE(digest, QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        if (action == "write") {
            QFile file(path);
            if (file.open(QIODevice::ReadWrite))
                file.write("P");
        } else if (action == "replace") {
            QSaveFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("another package");
            file.commit();
        } else if (action == "delete") {
            QFile::remove(path);
        }
        QString why = "intact";
        held.stillIntact(&why);
        QVERIFY2(why.contains(afterwards), qPrintable(why));
        // The installer is given the held file itself, whatever became of the name.
        if (action != "write")
            QCOMPARE(TessTest::readFile(held.installPath()), bytes);
        held.release();
        QVERIFY(!held.isHeld());
        QCOMPARE(TessTest::readFile(path) == bytes, afterwards == "intact");
        QVERIFY(!held.holdAndDigest(dir.filePath("missing.msi"), &digest));
        QVERIFY(held.errorString().contains("cannot open"));
    }
};

TESS_TEST_MAIN(TestLists)
#include "tst_lists.moc"
