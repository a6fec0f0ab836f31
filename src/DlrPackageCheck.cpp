#include "DlrPackageCheck.h"

#include <QDebug>
#include <QFileInfo>

DlrPackageCheck::DlrPackageCheck(const QList<QByteArray> &publisherSha256)
    : publishers(publisherSha256)
{}

void DlrPackageCheck::prepare()
{
    if (!publishers.isEmpty())
        preparation.start();
}

bool DlrPackageCheck::refuse(const QString &text)
{
    held.release();
    why = text;
    qWarning().noquote() << "Package refused before its install:" << text;
    return false;
}

bool DlrPackageCheck::check(const QString &path, const QString &expectedSha256)
{
    why.clear();
    const QString name = QFileInfo(path).fileName();
    QByteArray digest;
    if (!held.holdAndDigest(path, &digest))
        return refuse(QStringLiteral("%1 cannot be read again before its install: %2")
                              .arg(name, held.errorString()));
    if (expectedSha256.isEmpty()) {
        // Only a developer's build offers a package without a digest (a build with keys
        // withholds such offers); there is nothing to compare.
        qWarning().noquote() << "No SHA256 in the product list for" << name
                             << "; installing it unchecked (SHA-256" << digest << ")";
    } else if (digest != expectedSha256.toLatin1()) {
        return refuse(QStringLiteral("%1 changed after its download: its SHA-256 is %2, the "
                                     "product list gives %3")
                              .arg(name, QString::fromLatin1(digest), expectedSha256));
    }

    QString signer;
    if (!publishers.isEmpty()) {
        preparation.wait();
        const DlrPlatform::PackageSignatureCheck signature
                = DlrPlatform::checkPackageSignature(path, publishers);
        if (signature.verdict == DlrPlatform::PackageSignatureCheck::NotChecked)
            qDebug().noquote() << "Signature of" << name << "not checked:" << signature.reason;
        else if (signature.verdict != DlrPlatform::PackageSignatureCheck::Trusted)
            return refuse(QStringLiteral("%1 is not signed by the maker: %2")
                                  .arg(name, signature.reason));
        else
            signer = QStringLiteral(", signed by %1").arg(signature.signer);
    }

    QString replaced;
    if (!held.stillIntact(&replaced))
        return refuse(replaced);
    qDebug().noquote() << "Package checked before its install:" << path << "SHA-256"
                       << digest + signer.toUtf8();
    return true;
}
