// What trusting the maker costs beside the work it guards, in one run:
//   trust_bench --write-manifest FILE        a manifest of 10,000 offers, as the service writes
//                                            them, each with its SHA256 (to be signed)
//   trust_bench --lists FILE KEY.pub         reading it and building the offer tree, against
//                                            verifying its signature (FILE.sig): over the bytes,
//                                            and over a digest made as they arrived
//   trust_bench --package PKG [THUMBPRINT]   the package held and digested again, and its
//                                            signature checked (Windows), in milliseconds
// The list line ends with RESULT trust ratio=<parse / (parse + verify of a digest made as the
// body arrived), higher is better>, and the share of a check that digests the bytes itself.

#include "../BenchManifest.h"
#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "DlrPlatform.h"
#include "DlrTrustPlatform.h"
#include "OfferTree.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// Best of several rounds, in seconds.
double best(int rounds, const std::function<void()> &work)
{
    double fastest = 1e30;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer clock;
        clock.start();
        work();
        fastest = std::min(fastest, clock.nsecsElapsed() / 1e9);
    }
    return fastest;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        std::exit(1);
    }
    return file.readAll();
}

int lists(const QString &path, const QString &keyPath)
{
    const QByteArray doc = readAll(path);
    const QByteArray signature = readAll(path + ".sig");
    const QList<QByteArray> keys{readAll(keyPath)};
    const double parse = best(5, [&] {
        QList<DlrManifestElement> offers;
        QUrl success;
        DlrManifestHandler::ParseData(doc, &offers, &success);
        OfferTree tree;
        for (DlrManifestElement &offer : offers)
            tree.AddOffer(&offer);
        tree.DebugPrint();
    });
    bool good = true;
    const double verify = best(20, [&] {
        good = good
               && DlrPlatform::verifyListSignature(doc, signature, keys).verdict
                          == DlrPlatform::SignatureVerdict::Good;
    });
    // The body digested as it arrives, the way downloads are: only the ECDSA step is left.
    DlrPlatform::Sha256 sha;
    sha.addData(doc.constData(), doc.size());
    const QByteArray digest = sha.hexResult();
    const double ecdsa = best(20, [&] {
        good = good
               && DlrPlatform::verifyListSignatureOfDigest(digest, signature, keys).verdict
                          == DlrPlatform::SignatureVerdict::Good;
    });
    if (!good) {
        std::fprintf(stderr, "the signature did not verify\n");
        return 1;
    }
    std::printf("manifest of %d bytes: parse and tree %.1f ms; signature check over the bytes "
                "%.3f ms (%.2f %%), over a digest made as they arrived %.3f ms (%.3f %%)\n",
                int(doc.size()), parse * 1e3, verify * 1e3, 100 * verify / parse, ecdsa * 1e3,
                100 * ecdsa / parse);
    std::printf("RESULT trust ratio=%.4f parse_ms=%.1f verify_ms=%.3f verify_share_pct=%.2f "
                "digested_verify_ms=%.3f digested_share_pct=%.3f\n",
                parse / (parse + ecdsa), parse * 1e3, verify * 1e3, 100 * verify / parse,
                ecdsa * 1e3, 100 * ecdsa / parse);
    return 0;
}

int package(const QString &path, const QByteArray &thumbprint)
{
    QByteArray digest;
    const double held = best(3, [&] {
        DlrPlatform::HeldFile file;
        if (!file.holdAndDigest(path, &digest))
            std::fprintf(stderr, "%s\n", qPrintable(file.errorString()));
    });
    DlrPlatform::PackageSignatureCheck check;
    const double signature
            = best(3, [&] { check = DlrPlatform::checkPackageSignature(path, {thumbprint}); });
    std::printf("package %s: held and digested %.1f ms, signature checked %.1f ms (%s)\n",
                qPrintable(path), held * 1e3, signature * 1e3,
                check.reason.isEmpty() ? "trusted" : qPrintable(check.reason));
    std::printf("RESULT trust_package held_ms=%.1f signature_ms=%.1f\n", held * 1e3,
                signature * 1e3);
    return digest.isEmpty() ? 1 : 0;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args.at(0) == "--write-manifest") {
        QFile out(args.at(1));
        return out.open(QIODevice::WriteOnly) && out.write(manifestOf(10000)) > 0 ? 0 : 1;
    }
    if (args.size() == 3 && args.at(0) == "--lists")
        return lists(args.at(1), args.at(2));
    if (args.size() >= 2 && args.at(0) == "--package")
        return package(args.at(1), args.value(2).toLatin1());
    std::fprintf(stderr, "usage: trust_bench --write-manifest FILE | --lists FILE KEY.pub | "
                         "--package PKG [THUMBPRINT]\n");
    return 2;
}
