#pragma once

#include "DlrTrustPlatform.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The last look at a package before its installer runs. It is read again through a handle held
// until the install ends, so that what is installed is what was checked; its SHA-256 must be the
// one the product list gives; where the platform checks code signatures and this build names
// the maker's publishers, it must be signed by one of them; and its name must still name the
// file that was read. A file in Downloads can be changed by anything running as the user after
// its download ended: this is what stops that.
class DlrPackageCheck
{
public:
    // The SHA-256 thumbprints of the publishers whose signature a package must carry (none:
    // signatures are not checked).
    explicit DlrPackageCheck(const QList<QByteArray> &publisherSha256);

    // A queue of packages begins: what the first signature check needs is loaded meanwhile.
    void prepare();

    // True when the package may be installed: it is held, and installPath() names it. False with
    // reason() saying why ("... changed after its download ...", "... signature ...").
    bool check(const QString &path, const QString &expectedSha256);
    // What to give the installer: the held file itself where the platform can name it so.
    QString installPath() const { return held.installPath(); }
    QString reason() const { return why; }
    // The install has ended: the package may change again.
    void release() { held.release(); }

private:
    bool refuse(const QString &text);

    DlrPlatform::HeldFile held;
    DlrPlatform::SignatureCheckPreparation preparation;
    QList<QByteArray> publishers;
    QString why;
};
