// Reading a manifest and grouping its offers, for a small and a large manifest in one run:
// the cost per offer should stay the same as the manifest grows.
//   ratio = offers per second at the large size / offers per second at the small size

#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "OfferTree.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QUrl>

#include <algorithm>
#include <cstdio>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// A manifest as the service writes it: builds of several major versions, each with a server,
// bridges and a queue manager, every offer with all its fields.
QByteArray manifestOf(int offers)
{
    static const char *const kinds[]
            = {"TessalineWorkserver", "TessalineForMaya", "TessalineForHoudini",
               "TessalineForKatana", "TessalineQueueManager"};
    QByteArray doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Manifest>\n";
    for (int i = 0; i < offers; ++i) {
        const QByteArray major = QByteArray::number(20 + (i / 5) % 8);
        const QByteArray minor = QByteArray::number((i / 40) % 10);
        const QByteArray build = QByteArray::number(2000000 + i / 5);
        const QByteArray file
                = QByteArray(kinds[i % 5]) + "-" + major + "." + minor + "_" + build + "-win64.msi";
        doc += "  <ProductInfo>\n    <Name>" + file + "</Name>\n    <SimpleName>" + kinds[i % 5]
               + " " + major + "." + minor + "</SimpleName>\n    <BuildID>" + build
               + "</BuildID>\n    <VersionMajor>" + major + "</VersionMajor>\n    <VersionMinor>"
               + minor + "</VersionMinor>\n    <DefaultBehavior>show</DefaultBehavior>\n"
               + "    <DownloadURL>https://www.tessaline.example/products/" + file
               + "</DownloadURL>\n    <FileSize>" + QByteArray::number(100000000 + i)
               + "</FileSize>\n  </ProductInfo>\n";
    }
    return doc
           + "  <DLRSuccessURL>https://www.tessaline.example/view/Install-Success"
             "</DLRSuccessURL>\n</Manifest>\n";
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
    std::printf("RESULT manifest ratio=%.3f offers_per_s_100=%.0f offers_per_s_10000=%.0f "
                "time_ratio=%.1f\n",
                largeRate / smallRate, smallRate, largeRate, largeTime / smallTime);
    return 0;
}
