// Package signatures, and the check the queue makes just before each install. The packages are
// built by make_fixtures.py with wixl and signed with osslsigncode by certificates made with
// openssl. In the Windows build (under Wine here) each one meets WinVerifyTrust, the Authenticode
// chain policy and the maker's thumbprints, and only the maker's package is installable; on
// Linux the layer says it does not check them.
#include "DlrPackageCheck.h"
#include "DlrPlatform.h"
#include "TestSupport.h"

using DlrPlatform::PackageSignatureCheck;

namespace {
QString package(const QString &name)
{
    return qEnvironmentVariable("TESS_TRUST_FIXTURES") + "/packages/" + name;
}
} // namespace

class TestPackages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void signatures_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("reason");
#ifdef Q_OS_WIN
        QTest::newRow("the maker's") << "good.msi" << int(PackageSignatureCheck::Trusted) << "";
        QTest::newRow("unsigned") << "unsigned.msi" << int(PackageSignatureCheck::Unsigned)
                                  << "unsigned";
        QTest::newRow("another publisher")
                << "other.msi" << int(PackageSignatureCheck::OtherPublisher)
                << "signed by Other Publisher, not by the maker";
        // Its thumbprint is the maker's: only the chain policy stands in its way.
        QTest::newRow("an untrusted certificate")
                << "untrusted.msi" << int(PackageSignatureCheck::Untrusted)
                << "signer's certificate not trusted: its root certificate is not trusted";
        QTest::newRow("damaged signature")
                << "damaged.msi" << int(PackageSignatureCheck::Damaged) << "damaged signature";
        // Wine's WinVerifyTrust checks no MSI digest, real Windows says "damaged signature":
        // what refuses it everywhere is its digest against the signed list's (-1 below).
        QTest::newRow("changed after signing") << "changed.msi" << -1 << "";
#else
        QTest::newRow("any") << "good.msi" << int(PackageSignatureCheck::NotChecked)
                             << "package signatures are not checked on this platform";
#endif
    }

    void signatures()
    {
        QFETCH(QString, file);
        QFETCH(int, verdict);
        QFETCH(QString, reason);
        QList<QByteArray> publishers = TessTest::readFile(package("publishers.txt")).split('\n');
        publishers.removeAll(QByteArray());
        const PackageSignatureCheck check
                = DlrPlatform::checkPackageSignature(package(file), publishers);
        // What the queue does just before the install, with the digest a signed list gives (the
        // maker's package's, for the one changed after signing): only the maker's package passes.
        const QByteArray listed
                = verdict < 0 ? TessTest::readFile(package("good.sha256")).trimmed()
                              : QCryptographicHash::hash(TessTest::readFile(package(file)),
                                                         QCryptographicHash::Sha256)
                                        .toHex();
        DlrPackageCheck last(publishers);
        const bool installable = last.check(package(file), QString::fromLatin1(listed));
        QCOMPARE(installable, verdict == PackageSignatureCheck::Trusted
                                      || verdict == PackageSignatureCheck::NotChecked);
        QVERIFY2(installable
                         || last.reason().contains(verdict < 0 ? "changed after its download"
                                                               : reason),
                 qPrintable(last.reason()));
        if (verdict < 0)
            return; // Wine finds it trusted, real Windows damaged: the digest refused it above
        QVERIFY2(check.verdict == verdict && check.reason.contains(reason),
                 qPrintable(QStringLiteral("%1 %2").arg(check.verdict).arg(check.reason)));
        QCOMPARE(publishers.contains(check.signerSha256),
                 verdict == PackageSignatureCheck::Trusted
                         || verdict == PackageSignatureCheck::Untrusted);
    }
};

TESS_TEST_MAIN(TestPackages)
#include "tst_packages.moc"
