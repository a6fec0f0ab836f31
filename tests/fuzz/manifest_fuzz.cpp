// libFuzzer target: any bytes as a manifest, then everything the selection side does with the
// offers it yields (versions, kinds, the offer tree) and the download naming rules on their
// names. Built outside the main build by run-fuzz.sh.

#include "DlrDownloadNames.h"
#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "FuzzSupport.h"
#include "OfferTree.h"

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray document
            = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QList<DlrManifestElement> offers;
    QUrl successUrl;
    DlrManifestHandler::ParseData(document, &offers, &successUrl);

    OfferTree tree;
    for (DlrManifestElement &offer : offers) {
        QString version;
        offer.GetVersion(version);
        offer.VersionText();
        fuzzCheck(offer.GetMajorVersion().minor == QLatin1String("0"));
        IsWorkserverOffer(offer);
        IsTfmOffer(offer);
        IsAtelierOffer(offer);
        IsHarrowOffer(offer);
        tree.AddOffer(&offer);

        // Whatever the name, a download stays inside its folder.
        const QString fileName = DlrDownloadNames::safeFileName(offer.name);
        fuzzCheck(!fileName.contains(QLatin1Char('/')) && !fileName.contains(QLatin1Char('\\'))
                  && !fileName.contains(QLatin1Char(':')) && fileName != QLatin1String(".."));
        if (!fileName.isEmpty()) {
            const QString temp = DlrDownloadNames::chooseTempName(
                    QStringLiteral("/downloads"), fileName,
                    [](const QString &path) { return path.size() % 3 == 0; });
            fuzzCheck(temp.startsWith(QLatin1String("/downloads/"))
                      || temp == QLatin1String(DlrDownloadNames::LastResortName));
            const QString finalName = DlrDownloadNames::finalNameFromTempName(temp);
            fuzzCheck(finalName.startsWith(QLatin1String("/downloads/"))
                      || temp == QLatin1String(DlrDownloadNames::LastResortName));
        }
    }
    tree.DebugPrint();
    for (const QString &major : tree.Versions()) {
        const QString newest = tree.NewestBuildId(major);
        tree.Offers(major, newest);
    }
    return 0;
}
