#pragma once

// The platform's part in trusting what the maker publishes: the signature of a product list
// (ECDSA P-256 over SHA-256: OpenSSL's EVP on Linux, CNG on Windows), a package read and held
// open so that what is installed is what was checked, and a package's own code signature
// (Authenticode, Windows only).

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <thread>

namespace DlrPlatform {

// --- Signed product lists ----------------------------------------------------------------------

enum class SignatureVerdict {
    Good,         // one of the keys verifies the signature over these exact bytes
    Missing,      // no signature text at all (or only white space)
    NotBase64,    // the text is not base64
    NotDer,       // base64, but not an ECDSA signature in DER
    BadSignature, // well formed, but no key verifies it (another key, a changed byte)
    NoUsableKey,  // none of the keys given is a P-256 public key the crypto library accepts
};

struct SignatureCheck
{
    SignatureVerdict verdict = SignatureVerdict::Missing;
    int keyIndex = -1; // the key that verified it, when good
    QString detail;    // for the log: why, in a few words
};

// Verifies signatureText (the base64 of a DER ECDSA signature, as `openssl dgst -sha256 -sign`
// writes it, white space ignored) over data against each PEM public key in turn.
SignatureCheck verifyListSignature(const QByteArray &data,
                                   const QByteArray &signatureText,
                                   const QList<QByteArray> &publicKeysPem);
// The same over data already digested (sha256Hex from Sha256::hexResult, e.g. as the body
// arrived): the check is then one ECDSA verification per key, well under a millisecond.
SignatureCheck verifyListSignatureOfDigest(const QByteArray &sha256Hex,
                                           const QByteArray &signatureText,
                                           const QList<QByteArray> &publicKeysPem);

// "good", "missing", "not base64", "not DER", "bad signature", "no usable key".
QString signatureVerdictText(SignatureVerdict verdict);

// --- The package installed is the package checked ----------------------------------------------

// A package opened, digested through that one handle and kept open until released (or
// destroyed). On Windows it is opened without FILE_SHARE_WRITE and FILE_SHARE_DELETE, so no
// process can write, rename, replace or delete it while it is held, and the installer, which
// only reads it, opens it by its name. On Linux nothing stops another process of the same user
// from writing into the file or renaming another over its name: the digest is read through the
// held descriptor, stillIntact() tells whether the name still names that file and whether it
// was written since, and installPath() names the held file itself (/proc/self/fd/N), so an
// installer opening it gets the bytes that were digested even if the name was replaced.
class HeldFile
{
public:
    HeldFile();
    ~HeldFile();
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    // Opens path, holds it and reads it whole through the held handle; *sha256Hex gets its
    // digest (64 lowercase hex digits). False with errorString() set; nothing is held then.
    bool holdAndDigest(const QString &path, QByteArray *sha256Hex);
    // True while the file is held, its name still names it and (Linux) nothing has written to
    // it since it was digested; otherwise false with *why set.
    bool stillIntact(QString *why) const;
    // The name to give the installer: the path on Windows, the held descriptor on Linux.
    QString installPath() const;
    bool isHeld() const;
    void release();
    QString errorString() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// --- Package code signatures -------------------------------------------------------------------

struct PackageSignatureCheck
{
    enum Verdict {
        Trusted,    // signed, intact as far as the system can tell, chain trusted, the maker's
        NotChecked, // this platform has no package signatures
        Unsigned,
        Damaged,        // the signature does not verify (or, on Windows, the file changed)
        OtherPublisher, // a trusted signature, but not by one of the maker's certificates
        Untrusted,      // the signer's certificate chain is not trusted here
        Failed,         // the check itself could not run
    };
    Verdict verdict = Failed;
    // "unsigned", "damaged signature", "signed by <name>, not by the maker", "signer's
    // certificate not trusted: <why>"; empty when trusted.
    QString reason;
    QString signer;          // the signer's name, when there is a signer
    QByteArray signerSha256; // the SHA-256 of the signer's certificate, 64 lowercase hex
};

// Loads, on a thread of its own, what the first package-signature check of a process needs (on
// Windows the system's root certificate store, which Wine takes about 100 ms to build on its
// first use), so that it happens while the first package downloads. Nothing where packages are
// not checked.
class SignatureCheckPreparation
{
public:
    SignatureCheckPreparation() = default;
    SignatureCheckPreparation(const SignatureCheckPreparation &) = delete;
    SignatureCheckPreparation &operator=(const SignatureCheckPreparation &) = delete;
    ~SignatureCheckPreparation() { wait(); }
    void start();
    // Until the preparation has ended (at once when it has, or never started).
    void wait()
    {
        if (worker.joinable())
            worker.join();
    }

private:
    std::thread worker;
};

// Checks the Authenticode signature of a package: the system must not find it unsigned or
// damaged, the signer's chain must pass the Authenticode chain policy, and the signer's
// certificate must be one of publisherSha256 (lowercase hex thumbprints). On Linux: NotChecked.
PackageSignatureCheck checkPackageSignature(const QString &path,
                                            const QList<QByteArray> &publisherSha256);

} // namespace DlrPlatform
