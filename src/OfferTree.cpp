#include "OfferTree.h"

#include "DlrManifestElement.h"

#include <QDebug>

#include <algorithm>

namespace {
// Map keys greatest text first: QMap keeps them in ascending text order already.
template<typename Map>
QStringList descendingKeys(const Map &map)
{
    QStringList keys = map.keys();
    std::reverse(keys.begin(), keys.end());
    return keys;
}
} // namespace

void OfferTree::AddOffer(DlrManifestElement *offer)
{
    offer->GetProductVersion();
    QString versionText;
    offer->GetVersion(versionText); // only for its "Product with no version" line
    const QString major = offer->GetMajorVersion().major;
    offers[major][offer->buildId].append(offer);
}

QStringList OfferTree::Versions() const
{
    return descendingKeys(offers);
}

QStringList OfferTree::BuildIds(const QString &majorVersion)
{
    return descendingKeys(offers[majorVersion]);
}

QString OfferTree::NewestBuildId(const QString &majorVersion)
{
    const QStringList ids = BuildIds(majorVersion);
    return ids.isEmpty() ? QString() : ids.first();
}

QList<DlrManifestElement *> OfferTree::Offers(const QString &majorVersion, const QString &buildId)
{
    return offers[majorVersion][buildId];
}

void OfferTree::DebugPrint() const
{
    for (const QString &major : Versions()) {
        qDebug() << " v" << major;
        const auto &builds = offers[major];
        for (const QString &build : descendingKeys(builds)) {
            qDebug() << "  \\_" << build;
            for (const DlrManifestElement *offer : builds[build])
                qDebug() << "      \\_" << offer->name;
        }
    }
}
