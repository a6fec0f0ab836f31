// Reading a manifest and grouping its offers, for a small and a large manifest in one run:
// the cost per offer should stay the same as the manifest grows.
//   ratio = offers per second at the large size / offers per second at the small size
// With --signed FILE KEY.pub (FILE written by --write FILE and signed by tools/sign-manifest),
// also what believing a signed list of that size costs, done as the manifest request does it:
// the body digested in the pieces it arrives in, then the maker's rules (the signature over that
// digest, the remembered version, the offers without a digest), against reading and grouping it.

#include "../BenchManifest.h"
#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "DlrManifestVerdict.h"
#include "DlrPlatform.h"
#include "OfferTree.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <cstdio>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

QByteArray readAll(const char *path)
{
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(1);
    }
    return file.readAll();
}

// Best of several rounds, in seconds: the body digested as it arrives (the network hands it over
// in pieces of up to 64 KiB), and the rules applied once it is complete.
void timeBelieving(const QByteArray &doc,
                   const QByteArray &signature,
                   const QByteArray &key,
                   double *digesting,
                   double *believing)
{
    QTemporaryDir home; // the remembered version goes beside the settings, in the home folder
    qputenv("HOME", home.path().toLocal8Bit());
    *digesting = *believing = 1e30;
    for (int r = 0; r < 20; ++r) {
        QElapsedTimer clock;
        clock.start();
        DlrPlatform::Sha256 sha;
        for (int at = 0; at < doc.size(); at += 64 * 1024)
            sha.addData(doc.constData() + at, qMin(64 * 1024, doc.size() - at));
        const QByteArray digest = sha.hexResult();
        *digesting = std::min(*digesting, clock.nsecsElapsed() / 1e9);

        QList<DlrManifestElement> offers;
        DlrManifestHandler::ListFacts facts;
        DlrManifestHandler::ParseData(doc, &offers, nullptr, nullptr, &facts);
        clock.start();
        const QString refusal
                = DlrManifestVerdict::judge({{QStringLiteral("the service"), doc, digest, signature,
                                              facts.version, facts.expires}},
                                            &offers, {key});
        *believing = std::min(*believing, clock.nsecsElapsed() / 1e9);
        if (!refusal.isEmpty() || offers.isEmpty()) {
            std::fprintf(stderr, "the signed list was refused: %s\n", qPrintable(refusal));
            std::exit(1);
        }
    }
}

// Best of several rounds, in seconds: read the document and build the offer tree.
double timeOf(const QByteArray &doc, int expected, int rounds)
{
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer clock;
        clock.start();
        QList<DlrManifestElement> offers;
        QUrl success;
        if (!DlrManifestHandler::ParseData(doc, &offers, &success) || offers.size() != expected) {
            std::fprintf(stderr, "manifest of %d offers did not read back\n", expected);
            std::exit(1);
        }
        OfferTree tree;
        for (DlrManifestElement &offer : offers)
            tree.AddOffer(&offer);
        tree.DebugPrint();
        best = std::min(best, clock.nsecsElapsed() / 1e9);
    }
    return best;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet); // the tree's debug print still formats every line
    const int small = 100;
    const int large = 10000;
    if (argc == 3 && qstrcmp(argv[1], "--write") == 0) {
        QFile out(QString::fromLocal8Bit(argv[2]));
        return out.open(QIODevice::WriteOnly) && out.write(manifestOf(large)) > 0 ? 0 : 1;
    }
    const QByteArray smallDoc = manifestOf(small);
    const QByteArray largeDoc = manifestOf(large);

    timeOf(smallDoc, small, 3); // warm up
    const double smallTime = timeOf(smallDoc, small, 200);
    const double largeTime = timeOf(largeDoc, large, 5);
    const double smallRate = small / smallTime;
    const double largeRate = large / largeTime;
    std::printf("manifest of %d offers (%d bytes): %.3f ms, %.0f offers/s\n", small,
                int(smallDoc.size()), smallTime * 1e3, smallRate);
    std::printf("manifest of %d offers (%d bytes): %.3f ms, %.0f offers/s\n", large,
                int(largeDoc.size()), largeTime * 1e3, largeRate);
    std::printf("time grows %.1fx for %dx the offers\n", largeTime / smallTime, large / small);
    QByteArray believed;
    if (argc == 4 && qstrcmp(argv[1], "--signed") == 0) {
        const QByteArray doc = readAll(argv[2]);
        const double parse = timeOf(doc, large, 5);
        double digesting = 0, believing = 0;
        timeBelieving(doc, readAll((QByteArray(argv[2]) + ".sig").constData()), readAll(argv[3]),
                      &digesting, &believing);
        std::printf("signed list of %d offers (%d bytes): read and grouped %.1f ms; digested as "
                    "it arrives %.2f ms (%.2f %%), believed once complete %.3f ms (%.2f %%)\n",
                    large, int(doc.size()), parse * 1e3, digesting * 1e3, 100 * digesting / parse,
                    believing * 1e3, 100 * believing / parse);
        believed = QByteArray(" signed_share_pct=")
                   + QByteArray::number(100 * believing / parse, 'f', 2)
                   + " digest_share_pct=" + QByteArray::number(100 * digesting / parse, 'f', 2);
    }
    std::printf("RESULT manifest ratio=%.3f offers_per_s_100=%.0f offers_per_s_10000=%.0f "
                "time_ratio=%.1f%s\n",
                largeRate / smallRate, smallRate, largeRate, largeTime / smallTime,
                believed.constData());
    return 0;
}
