#include "DlrUnattended.h"

#include "DlrApp.h"
#include "DlrManifestTrust.h"
#include "DlrServiceClient.h"
#include "DlrSources.h"

#include <QDebug>
#include <QTimer>

// Where a run without questions gets its product list (the maker, a manifest file, or a
// studio's sources) and what it makes of a refusal; what else a studio adds: a mirror folder to
// fill instead of installing, and a cap on the download rate.

namespace {
// The reasons the manifest request gives when no sign-in verdict arrived at all.
bool isServiceFault(const QString &reason)
{
    return reason == QLatin1String("bad manifest reply")
           || reason == QLatin1String("Unknown manifest Validation");
}
} // namespace

void DlrUnattended::setUpStudio()
{
    const DlrUnattendedOptions &options = app.getUnattendedOptions();
    if (!options.rateLimitText.isEmpty()) { // checked before the run began
        const qint64 rate = DlrOptions::parseRate(options.rateLimitText);
        app.setRateLimit(rate);
        qInfo() << "Downloads capped at" << rate << "bytes a second";
    }
    if (!options.mirrorFolder.isEmpty()) {
        mirror.reset(new DlrMirror(options.mirrorFolder));
        app.setDownloadFolder(mirror->folder());
        report.mirrorResult().folder = mirror->folder();
    }
    // Where each product's bytes came from.
    connect(&app, &DlrApp::downloadFetched, this,
            [this](int manifestIndex, const QString &origin, qint64 bytes) {
                DlrUnattendedReport::Product &entry = report.product(manifestIndex);
                entry.bytesBySource[origin] += bytes;
                entry.from = origin;
            });
    // The sources give the list and the packages; a file named by -manifest gives the list.
    if (options.sources.isEmpty())
        return;
    sources = new DlrSources(app.serviceClient(), options.sources, this);
    app.setSources(sources);
    connect(sources, &DlrSources::notice, this, [this](const QString &line) { print(line); });
    connect(sources, &DlrSources::listFound, this,
            [this](const QString &origin, const QByteArray &body, const QByteArray &signature) {
                report.setProductList(origin);
                listSource = origin;
                print(QStringLiteral("Reading the product list from %1").arg(origin));
                app.manifestList().clear();
                app.serviceClient()->acceptList(origin, body, signature);
            });
    connect(sources, &DlrSources::noneAnswered, this, [this] {
        print(QStringLiteral("No source has a product list; asking the maker"));
        requestFromMaker();
    });
}

void DlrUnattended::requestList()
{
    if (sources && app.manifestFileInUse().isEmpty())
        sources->fetchList();
    else
        requestFromMaker();
}

int DlrUnattended::positionOf(int manifestIndex) const
{
    return app.getDownloadQueue().indexOf(manifestIndex);
}

void DlrUnattended::publishMirror()
{
    DlrUnattendedReport::Mirror &result = report.mirrorResult();
    QString error;
    if (!mirror->publish(app.serviceClient()->believedBody(),
                         app.serviceClient()->believedSignature(), result.fetched + result.kept,
                         &result.removed, &error)) {
        finish(DlrExitCode::DownloadFailed,
               QStringLiteral("Could not write the product list into %1: %2")
                       .arg(mirror->folder(), error));
        return;
    }
    for (const QString &name : qAsConst(result.fetched))
        print(QStringLiteral("Mirror: fetched %1").arg(name));
    for (const QString &name : qAsConst(result.kept))
        print(QStringLiteral("Mirror: kept %1").arg(name));
    for (const QString &name : qAsConst(result.removed))
        print(QStringLiteral("Mirror: removed %1").arg(name));
    finish(DlrExitCode::Success,
           QStringLiteral("Mirrored %1 into %2: %3 fetched, %4 kept, %5 removed")
                   .arg(queueLength == 1 ? QStringLiteral("1 product")
                                         : QStringLiteral("%1 products").arg(queueLength))
                   .arg(mirror->folder())
                   .arg(result.fetched.size())
                   .arg(result.kept.size())
                   .arg(result.removed.size()));
}

void DlrUnattended::requestFromMaker()
{
    const QUrl url = app.GetManifestUrl();
    const QString file = app.manifestFileInUse();
    report.setProductList(file.isEmpty() ? QStringLiteral("maker") : file);
    print(file.isEmpty()
                  ? QStringLiteral("Signing in to %1 as %2").arg(url.host(), app.getUserName())
                  : QStringLiteral("Reading the manifest from %1").arg(file));
    app.RequestManifest(url, app.getUserName(), app.getPassword(), QStringLiteral("windows"));
}

void DlrUnattended::manifestRefused(const QString &reason)
{
    // A mirror being filled writes its list and signature one after the other: a reader caught
    // between them sees a pair that does not match. Reading the pair again a moment later tells
    // that apart from a list really changed.
    if (!listSource.isEmpty() && !listReadAgain
        && app.serviceClient()->listRefusal() == DlrManifestTrust::notSignedText()) {
        listReadAgain = true;
        listSource.clear();
        print(QStringLiteral("The product list does not match its signature; reading it again "
                             "in 2 s, in case the source is being updated"));
        QTimer::singleShot(2000, sources, &DlrSources::fetchList);
        return;
    }
    if (!app.serviceClient()->listRefusal().isEmpty()) {
        finish(DlrExitCode::ProductListRefused, reason);
    } else if (certificates.anyRefused()) {
        finish(DlrExitCode::CertificateRefused,
               QStringLiteral("The service's certificate was refused"));
    } else if (isServiceFault(reason)) {
        // The reason the transfer knows says more than the verdict's text.
        const QString why = app.serviceClient()->manifestFailure();
        finish(DlrExitCode::ServiceUnreachable,
               QStringLiteral("Could not get a product list from %1: %2")
                       .arg(listSource.isEmpty() ? QStringLiteral("the service") : listSource,
                            why.isEmpty() ? reason
                            : reason == QLatin1String("bad manifest reply")
                                    ? QStringLiteral("%1 (%2)").arg(reason, why)
                                    : why));
    } else {
        finish(DlrExitCode::SignInRefused, QStringLiteral("Sign-in refused: %1").arg(reason));
    }
}
