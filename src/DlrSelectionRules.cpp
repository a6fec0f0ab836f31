#include "DlrSelectionRules.h"

#include "DlrManifestElement.h"
#include "OfferTree.h"

#include <QDebug>

const DlrSelectionRules::Host DlrSelectionRules::Maya
        = {"maya",
           "Maya.*",
           "Maya",
           "No Mayas present in the assay.",
           "Found a maya for a maya-agnostic offer",
           "Found a matching maya version for the offer requesting"};
const DlrSelectionRules::Host DlrSelectionRules::Katana
        = {"katana",
           "Katana.*",
           "Katana",
           "No katanas present in the assay.",
           "Found a katana for a katana-agnostic offer",
           "Found a matching katana version for the offer requesting"};
const DlrSelectionRules::Host DlrSelectionRules::Houdini
        = {"houdini",
           "Houdini.*",
           "Houdini",
           "No houdini present in the assay.",
           "Found a houdini for a houdini-agnostic offer",
           "Found a matching houdini version for the offer requesting"};

namespace {

// An offer's build id as a number; 0 when it is not one.
int offerBuildId(const DlrManifestElement &offer)
{
    bool ok = false;
    const int id = offer.buildId.toInt(&ok, 10);
    return ok ? id : 0;
}

bool isKnownProductKind(const DlrManifestElement &offer)
{
    return IsWorkserverOffer(offer) || IsAtelierOffer(offer) || IsTfmOffer(offer)
           || IsHarrowOffer(offer);
}

} // namespace

DlrSelectionRules::DlrSelectionRules(QList<DlrManifestElement> &manifest,
                                     const DlrMachineAssay &assay)
    : manifest(manifest)
    , assay(assay)
{}

const QRegularExpression &DlrSelectionRules::offerNamePattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression p(
                QStringLiteral("^(?P<product>TessalineFor(?P<bridgeProduct>[A-Za-z]+))"
                               "(?:  (?:    -(?P<tessVer>\\d+\\.\\d+)    (?P<beta>[A-Za-z0-9]+)?  )"
                               "|(?:    (?:-(?P<bridgeVer>[A-Za-z0-9\\.]+))?  )){2}"
                               "(?:_(?P<buildId>\\d{6,})-)?"),
                QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption
                        | QRegularExpression::ExtendedPatternSyntaxOption);
        p.optimize();
        return p;
    }();
    return pattern;
}

void DlrSelectionRules::chooseDownloads()
{
    chosen.clear();
    hidden.clear();

    OfferTree tree;
    for (int i = 0; i < manifest.size(); ++i)
        tree.AddOffer(&manifest[i]);
    tree.DebugPrint();

    // Text order, greatest first: "9" comes before "24".
    const QStringList versions = tree.Versions();
    for (int v = 0; v < versions.size(); ++v) {
        const QString &major = versions.at(v);
        const QList<DlrManifestElement *> group = tree.Offers(major, tree.NewestBuildId(major));
        if (v == 0) {
            SelectApplicableOffers(group); // the newest major version, unconditionally
            continue;
        }
        qDebug() << "Attempting to find TWS for v" << major;
        const QList<InstalledRecord> servers = assay.FindAll(
                QStringLiteral("Workserver"), QStringLiteral("^%1\\.\\d+").arg(major));
        qDebug() << "Found " << servers.size() << " candidates";
        if (!servers.isEmpty())
            SelectApplicableOffers(group);
    }

    applyDefaultBehaviour();
}

void DlrSelectionRules::applyDefaultBehaviour()
{
    for (int i = 0; i < manifest.size(); ++i) {
        const DlrManifestElement &offer = manifest.at(i);
        if (!offer.downloadUrl.isValid()) {
            qDebug() << "no url for product " << offer.name;
            continue;
        }
        if (chosen.contains(i))
            continue;
        if (offer.fileSize == 0)
            continue; // nothing to download: not listed
        const QString behavior = offer.defaultBehavior.isEmpty() ? QStringLiteral("automatic")
                                                                 : offer.defaultBehavior;
        const QString label = offer.label();
        if (isKnownProductKind(offer) && behavior == QLatin1String("automatic")) {
            qDebug() << label << "is hidden";
            hidden.append(i);
        } else if (behavior == QLatin1String("show")) {
            qDebug() << label << "is speficied as shown";
            chosen.append(i);
        } else {
            qDebug() << label << "is specifed hidden";
            hidden.append(i);
        }
    }
}

void DlrSelectionRules::SelectApplicableOffers(const QList<DlrManifestElement *> &offers)
{
    if (AttemptSelectTWSFromOffers(offers) == NotSelected) {
        qDebug() << "Could not install or find a matching TWS -- we can't select any matching "
                    "bridge products";
        return;
    }
    static const Host *const hosts[] = {&Maya, &Katana, &Houdini};
    for (DlrManifestElement *offer : offers) {
        const QRegularExpressionMatch match = offerNamePattern().match(offer->name);
        if (!match.hasMatch())
            continue;
        const QString bridgeProduct = match.captured(QStringLiteral("bridgeProduct"));
        const QString bridgeVer = match.captured(QStringLiteral("bridgeVer"));
        const Host *host = nullptr;
        for (const Host *candidate : hosts) {
            if (bridgeProduct.toLower() == QLatin1String(candidate->word))
                host = candidate;
        }
        if (host)
            attemptSelectBridge(offer, bridgeVer, *host);
        else
            qDebug() << "No auto selection handler for" << bridgeProduct;
    }
}

DlrSelectionRules::SelectionDecision
DlrSelectionRules::AttemptSelectTWSFromOffers(const QList<DlrManifestElement *> &offers)
{
    static const QRegularExpression workserver(QStringLiteral("Workserver"));
    DlrManifestElement *offer = nullptr;
    for (DlrManifestElement *candidate : offers) {
        if (workserver.match(candidate->label()).hasMatch()) {
            offer = candidate;
            break;
        }
    }
    if (!offer)
        return NotSelected;

    QString version; // stays empty for a label without version: any installed version counts
    offer->GetVersion(version);
    InstalledRecord installed;
    if (!assay.FindInstalled(QStringLiteral("Workserver"), version, installed)) {
        qDebug() << "Selecting TWS" << version << " none installed";
        selectOffer(offer);
        return Selected;
    }
    const int offered = offerBuildId(*offer);
    int present = 0;
    DlrMachineAssay::GetBuildId(installed, present);
    if (offered > present) {
        qDebug() << "Selecting TWS" << version << ", found down-rev buildid."
                 << "manifest had " << offered << "installed" << present;
        selectOffer(offer);
        return Selected;
    }
    if (offered == present) {
        qDebug() << "TWS v" << version << " (" << offered << ") is already installed";
        return AlreadyInstalled;
    }
    qDebug() << "No TWS" << version << "to select, found more recent build installed"
             << "manifest had " << offered << "installed" << present;
    return NotSelected;
}

DlrSelectionRules::SelectionDecision
DlrSelectionRules::AttemptSelectTfMFromOffer(DlrManifestElement *offer, const QString &bridgeVer)
{
    return attemptSelectBridge(offer, bridgeVer, Maya);
}

DlrSelectionRules::SelectionDecision
DlrSelectionRules::AttemptSelectTfKFromOffer(DlrManifestElement *offer, const QString &bridgeVer)
{
    return attemptSelectBridge(offer, bridgeVer, Katana);
}

DlrSelectionRules::SelectionDecision
DlrSelectionRules::AttemptSelectTfHFromOffer(DlrManifestElement *offer, const QString &bridgeVer)
{
    return attemptSelectBridge(offer, bridgeVer, Houdini);
}

DlrSelectionRules::SelectionDecision DlrSelectionRules::attemptSelectBridge(
        DlrManifestElement *offer, const QString &bridgeVer, const Host &host)
{
    // "maya2022" serves Maya 2022: drop the word before the number.
    QString hostVersion = bridgeVer;
    if (!hostVersion.isEmpty()) {
        static const QRegularExpression number(QStringLiteral("\\d.+(\\.\\d+)?"));
        const QRegularExpressionMatch match = number.match(hostVersion);
        if (match.hasMatch())
            hostVersion = hostVersion.mid(match.capturedStart());
    }
    const QString offerVersion = offer->VersionText();

    const QString namePattern
            = QLatin1String(host.namePrefix)
              + QString(hostVersion).replace(QLatin1Char('.'), QStringLiteral("\\."));
    InstalledRecord installed;
    if (assay.FindInstalled(namePattern, offerVersion, installed)) {
        int present = 0;
        DlrMachineAssay::GetBuildId(installed, present);
        if (present == offerBuildId(*offer)) {
            qDebug() << "Offer already installed";
            return AlreadyInstalled;
        }
    }

    const QList<InstalledRecord> hosts = assay.GetProducts(QLatin1String(host.productName));
    if (hosts.isEmpty()) {
        qDebug() << host.noHostLog;
        return NotSelected;
    }
    for (const InstalledRecord &installation : hosts) {
        if (hostVersion.isEmpty()) {
            selectOffer(offer);
            qDebug() << host.agnosticLog;
            return Selected;
        }
        if (installation.value(QStringLiteral("Version")) == hostVersion) {
            selectOffer(offer);
            qDebug() << host.matchLog << bridgeVer;
            return Selected;
        }
    }
    return NotSelected;
}

void DlrSelectionRules::selectOffer(DlrManifestElement *offer)
{
    for (int i = 0; i < manifest.size(); ++i) {
        if (&manifest.at(i) == offer) {
            chosen.append(i);
            return;
        }
    }
    qCritical() << "Selected offer is not in the manifest" << offer->name;
}
