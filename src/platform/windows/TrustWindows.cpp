// Windows side of trust: list signatures through CNG, packages held with a share mode that
// lets nobody write, rename or delete them, and Authenticode through WinVerifyTrust plus the
// checks Wine's WinVerifyTrust leaves out (the chain policy, the signer's thumbprint).
#include <windows.h>

#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "DlrTrustEncoding.h"
#include "DlrTrustPlatform.h"

#include "DlrPlatform.h"

#include <QDir>

namespace DlrPlatform {

void SignatureCheckPreparation::start()
{
    if (worker.joinable())
        return;
    worker = std::thread([] {
        // The store is kept by the system once built: the chain built later finds it ready.
        if (HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT")) {
            if (PCCERT_CONTEXT first = CertEnumCertificatesInStore(store, nullptr))
                CertFreeCertificateContext(first);
            CertCloseStore(store, 0);
        }
    });
}

static const NTSTATUS InvalidSignature = NTSTATUS(0xC000A000L);

// --- List signatures ---------------------------------------------------------------------------

// A P-256 public key in CNG's form: the blob header, then X||Y.
static BCRYPT_KEY_HANDLE importP256Key(BCRYPT_ALG_HANDLE algorithm, const QByteArray &pem)
{
    QByteArray spki;
    QByteArray point;
    if (!TrustEncoding::pemToDer(pem, "PUBLIC KEY", &spki)
        || !TrustEncoding::p256PointFromSubjectPublicKeyInfo(spki, &point))
        return nullptr;
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    QByteArray blob(reinterpret_cast<const char *>(&header), sizeof header);
    blob += point;
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                            reinterpret_cast<PUCHAR>(blob.data()), ULONG(blob.size()), 0)
        < 0)
        return nullptr;
    return key;
}

SignatureCheck verifyDigestSignature(const QByteArray &sha256,
                                     const QByteArray &,
                                     const QByteArray &rawSignature,
                                     const QList<QByteArray> &publicKeysPem)
{
    SignatureCheck check;
    check.verdict = SignatureVerdict::NoUsableKey;
    check.detail
            = QStringLiteral("none of the %1 keys is a P-256 public key").arg(publicKeysPem.size());
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
        check.detail = QStringLiteral("the system has no ECDSA P-256");
        return check;
    }
    QByteArray digest = sha256;
    QByteArray signature = rawSignature;
    for (int i = 0; i < publicKeysPem.size(); ++i) {
        BCRYPT_KEY_HANDLE key = importP256Key(algorithm, publicKeysPem.at(i));
        if (!key)
            continue;
        const NTSTATUS status = BCryptVerifySignature(
                key, nullptr, reinterpret_cast<PUCHAR>(digest.data()), ULONG(digest.size()),
                reinterpret_cast<PUCHAR>(signature.data()), ULONG(signature.size()), 0);
        BCryptDestroyKey(key);
        if (status >= 0) {
            check.verdict = SignatureVerdict::Good;
            check.keyIndex = i;
            check.detail = QStringLiteral("verified by key %1").arg(i + 1);
            break;
        }
        check.verdict = SignatureVerdict::BadSignature;
        check.detail = status == InvalidSignature
                               ? QStringLiteral("no key verifies it")
                               : QStringLiteral("no key verifies it (status 0x%1)")
                                         .arg(ulong(status), 8, 16, QLatin1Char('0'));
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return check;
}

// --- Held packages -----------------------------------------------------------------------------

struct HeldFile::Private
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    QString path;
    QString error;
};

HeldFile::HeldFile()
    : d(new Private)
{}

HeldFile::~HeldFile()
{
    release();
}

bool HeldFile::holdAndDigest(const QString &path, QByteArray *sha256Hex)
{
    release();
    d->error.clear();
    const QString native = QDir::toNativeSeparators(path);
    // Others may read it (the installer does), nobody may write, rename, replace or delete it.
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(native.utf16()), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        d->error = code == ERROR_SHARING_VIOLATION
                           ? QStringLiteral("%1 is open for writing in another program").arg(native)
                           : QStringLiteral("cannot open %1: %2").arg(native, errorText(code));
        return false;
    }
    Sha256 digest;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle, buffer.data(), DWORD(buffer.size()), &got, nullptr)) {
            d->error = QStringLiteral("cannot read %1: %2").arg(native, errorText(GetLastError()));
            CloseHandle(handle);
            return false;
        }
        if (got == 0)
            break;
        digest.addData(buffer.constData(), got);
    }
    const QByteArray hex = digest.hexResult();
    if (hex.isEmpty()) {
        d->error = QStringLiteral("the system's SHA-256 failed on %1").arg(native);
        CloseHandle(handle);
        return false;
    }
    d->handle = handle;
    d->path = native;
    *sha256Hex = hex;
    return true;
}

bool HeldFile::stillIntact(QString *why) const
{
    // The share mode is the guarantee: while the handle is open nothing can change the file.
    if (d->handle == INVALID_HANDLE_VALUE) {
        *why = QStringLiteral("the package is not held");
        return false;
    }
    return true;
}

QString HeldFile::installPath() const
{
    return d->handle == INVALID_HANDLE_VALUE ? QString() : d->path;
}

bool HeldFile::isHeld() const
{
    return d->handle != INVALID_HANDLE_VALUE;
}

void HeldFile::release()
{
    if (d->handle != INVALID_HANDLE_VALUE)
        CloseHandle(d->handle);
    d->handle = INVALID_HANDLE_VALUE;
    d->path.clear();
}

QString HeldFile::errorString() const
{
    return d->error;
}

// --- Package signatures ------------------------------------------------------------------------

static QString chainErrorText(DWORD code)
{
    switch (code) {
    case DWORD(CERT_E_UNTRUSTEDROOT):
        return QStringLiteral("its root certificate is not trusted");
    case DWORD(CERT_E_CHAINING):
        return QStringLiteral("it does not chain to a trusted root");
    case DWORD(CERT_E_UNTRUSTEDTESTROOT):
        return QStringLiteral("its root is a test root");
    case DWORD(CERT_E_EXPIRED):
        return QStringLiteral("a certificate of its chain has expired or is not yet valid");
    case DWORD(CERT_E_REVOKED):
        return QStringLiteral("a certificate of its chain was revoked");
    case DWORD(CERT_E_WRONG_USAGE):
        return QStringLiteral("it is not a code-signing certificate");
    case DWORD(TRUST_E_EXPLICIT_DISTRUST):
        return QStringLiteral("it is explicitly distrusted");
    default:
        return QStringLiteral("error 0x%1").arg(ulong(code), 8, 16, QLatin1Char('0'));
    }
}

// What WinVerifyTrust's answer alone decides; Trusted when it found nothing wrong.
static PackageSignatureCheck::Verdict verdictOf(LONG status, QString *reason)
{
    switch (DWORD(status)) {
    case DWORD(ERROR_SUCCESS):
        return PackageSignatureCheck::Trusted;
    case DWORD(TRUST_E_NOSIGNATURE):
    case DWORD(TRUST_E_SUBJECT_FORM_UNKNOWN):
    case DWORD(TRUST_E_PROVIDER_UNKNOWN):
        *reason = QStringLiteral("unsigned");
        return PackageSignatureCheck::Unsigned;
    case DWORD(CERT_E_UNTRUSTEDROOT):
    case DWORD(CERT_E_CHAINING):
    case DWORD(CERT_E_UNTRUSTEDTESTROOT):
    case DWORD(CERT_E_EXPIRED):
    case DWORD(CERT_E_REVOKED):
    case DWORD(CERT_E_WRONG_USAGE):
    case DWORD(TRUST_E_EXPLICIT_DISTRUST):
        *reason = QStringLiteral("signer's certificate not trusted: ") + chainErrorText(status);
        return PackageSignatureCheck::Untrusted;
    default:
        // TRUST_E_BAD_DIGEST, TRUST_E_CERT_SIGNATURE and whatever else refuses the signature.
        *reason = QStringLiteral("damaged signature");
        return PackageSignatureCheck::Damaged;
    }
}

static QString signerName(PCCERT_CONTEXT cert)
{
    wchar_t name[256] = {};
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return QString::fromWCharArray(name);
}

static QByteArray certificateSha256(PCCERT_CONTEXT cert)
{
    BYTE hash[32];
    DWORD size = sizeof hash;
    if (!CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, cert->pbCertEncoded,
                               cert->cbCertEncoded, hash, &size)
        || size != sizeof hash)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(hash), sizeof hash).toHex();
}

// The signer's side, once WinVerifyTrust is content: the chain under the Authenticode policy
// (Wine's WinVerifyTrust skips it), then the maker's thumbprints.
static void
checkSigner(HANDLE state, const QList<QByteArray> &publishers, PackageSignatureCheck *check)
{
    CRYPT_PROVIDER_DATA *data = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR *signer
            = data ? WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT *leaf = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (!leaf || !leaf->pCert || !signer->pChainContext) {
        check->verdict = PackageSignatureCheck::Damaged;
        check->reason = QStringLiteral("damaged signature");
        return;
    }
    check->signer = signerName(leaf->pCert);
    check->signerSha256 = certificateSha256(leaf->pCert);

    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext,
                                          &policy, &status)) {
        check->verdict = PackageSignatureCheck::Failed;
        check->reason = QStringLiteral("the chain policy could not be checked: ")
                        + errorText(GetLastError());
        return;
    }
    if (status.dwError != 0) {
        check->verdict = PackageSignatureCheck::Untrusted;
        check->reason = QStringLiteral("signer's certificate not trusted: ")
                        + chainErrorText(status.dwError);
        return;
    }
    if (check->signerSha256.isEmpty() || !publishers.contains(check->signerSha256)) {
        check->verdict = PackageSignatureCheck::OtherPublisher;
        check->reason = QStringLiteral("signed by %1, not by the maker").arg(check->signer);
        return;
    }
    check->verdict = PackageSignatureCheck::Trusted;
}

PackageSignatureCheck checkPackageSignature(const QString &path,
                                            const QList<QByteArray> &publisherSha256)
{
    const QString native = QDir::toNativeSeparators(path);
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = reinterpret_cast<const wchar_t *>(native.utf16());
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    // The maker's certificate is pinned by thumbprint; revocation would need the network.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    PackageSignatureCheck check;
    const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    check.verdict = verdictOf(status, &check.reason);
    if (check.verdict == PackageSignatureCheck::Trusted)
        checkSigner(data.hWVTStateData, publisherSha256, &check);

    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return check;
}

} // namespace DlrPlatform
