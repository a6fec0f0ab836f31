#pragma once

#include "DlrManifestElement.h"
#include "DlrManifestTrust.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

// What a run makes of the product lists of one manifest request: each list with what came
// beside it (a file's signature is in FILE.sig), then the maker's rules, with their log lines,
// the version remembered for this user and the offers without a digest withheld.
namespace DlrManifestVerdict {

// Reads a manifest file whole and appends its offers. True when it was read to its end.
// *evidence gets its bytes, its signature and its own facts whenever there were bytes to read
// (its origin stays empty otherwise); *problem says what was wrong ("cannot be read: ...",
// "empty", the parser's line and column, "no product offer in it ...").
bool readFile(const QString &fileName,
              QList<DlrManifestElement> *manifest,
              QUrl *successUrl,
              DlrListEvidence *evidence,
              QString *problem);

// The same for a list that arrived some other way (a source's manifest.xml and its .sig).
bool readBody(const QString &origin,
              const QByteArray &body,
              const QByteArray &signature,
              QList<DlrManifestElement> *manifest,
              QUrl *successUrl,
              DlrListEvidence *evidence,
              QString *problem);

// Holds the lists to the rules of a build with these keys (none: a developer's build). When they
// are believed (or accepted unverified) the version is remembered and the offers without a
// digest leave *manifest; the result is empty. When they are refused *manifest is emptied and
// the result is the reason the user reads.
QString judge(const QList<DlrListEvidence> &lists,
              QList<DlrManifestElement> *manifest,
              const QList<QByteArray> &keys);

} // namespace DlrManifestVerdict
