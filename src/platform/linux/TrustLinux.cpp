// Linux side of trust: list signatures through OpenSSL's EVP, packages held by descriptor.
// There is no Authenticode here: the Linux package engine reads the package, it does not run
// code signed for Windows, so package signatures are not checked on this platform.
#include "DlrTrustEncoding.h"
#include "DlrTrustPlatform.h"

#include "DlrPlatform.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DlrPlatform {

// --- List signatures ---------------------------------------------------------------------------

static EVP_PKEY *readP256Key(const QByteArray &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
    EVP_PKEY *key = bio ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    char group[32] = {};
    size_t length = 0;
    if (key
        && (!EVP_PKEY_is_a(key, "EC")
            || EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1
            || std::strcmp(group, "prime256v1") != 0)) {
        EVP_PKEY_free(key);
        key = nullptr;
    }
    return key;
}

SignatureCheck verifyDigestSignature(const QByteArray &sha256,
                                     const QByteArray &derSignature,
                                     const QByteArray &,
                                     const QList<QByteArray> &publicKeysPem)
{
    SignatureCheck check;
    check.verdict = SignatureVerdict::NoUsableKey;
    check.detail
            = QStringLiteral("none of the %1 keys is a P-256 public key").arg(publicKeysPem.size());
    // The digest is made once for all keys: a key that is being rotated out costs nothing more.
    for (int i = 0; i < publicKeysPem.size(); ++i) {
        EVP_PKEY *key = readP256Key(publicKeysPem.at(i));
        if (!key)
            continue;
        EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(key, nullptr);
        const bool good
                = context && EVP_PKEY_verify_init(context) == 1
                  && EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1
                  && EVP_PKEY_verify(
                             context,
                             reinterpret_cast<const unsigned char *>(derSignature.constData()),
                             size_t(derSignature.size()),
                             reinterpret_cast<const unsigned char *>(sha256.constData()),
                             size_t(sha256.size()))
                             == 1;
        EVP_PKEY_CTX_free(context);
        EVP_PKEY_free(key);
        if (good) {
            check.verdict = SignatureVerdict::Good;
            check.keyIndex = i;
            check.detail = QStringLiteral("verified by key %1").arg(i + 1);
            break;
        }
        check.verdict = SignatureVerdict::BadSignature;
        check.detail = QStringLiteral("no key verifies it");
    }
    // Leave nothing in this thread's error queue for the toolkit's TLS to trip over.
    ERR_clear_error();
    return check;
}

// --- Held packages -----------------------------------------------------------------------------

struct HeldFile::Private
{
    int fd = -1;
    QString path;
    struct stat digested = {};
    QString error;
};

HeldFile::HeldFile()
    : d(new Private)
{}

HeldFile::~HeldFile()
{
    release();
}

static bool sameContent(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
           && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
           && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

static QString systemError()
{
    return errorText(static_cast<unsigned long>(errno));
}

bool HeldFile::holdAndDigest(const QString &path, QByteArray *sha256Hex)
{
    release();
    d->error.clear();
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    struct stat before = {};
    if (fd < 0 || ::fstat(fd, &before) != 0) {
        d->error = QStringLiteral("cannot open %1: %2").arg(path, systemError());
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (!S_ISREG(before.st_mode)) {
        d->error = QStringLiteral("%1 is not a regular file").arg(path);
        ::close(fd);
        return false;
    }
    Sha256 digest;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            d->error = QStringLiteral("cannot read %1: %2").arg(path, systemError());
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        digest.addData(buffer.constData(), got);
    }
    struct stat after = {};
    struct stat named = {};
    if (::fstat(fd, &after) != 0 || !sameContent(before, after)) {
        d->error = QStringLiteral("%1 changed while it was being checked").arg(path);
    } else if (::stat(name.constData(), &named) != 0 || named.st_dev != after.st_dev
               || named.st_ino != after.st_ino) {
        d->error = QStringLiteral("%1 was replaced while it was being checked").arg(path);
    } else if (digest.hexResult().isEmpty()) {
        d->error = QStringLiteral("the system's SHA-256 failed on %1").arg(path);
    }
    if (!d->error.isEmpty()) {
        ::close(fd);
        return false;
    }
    d->fd = fd;
    d->path = path;
    d->digested = after;
    *sha256Hex = digest.hexResult();
    return true;
}

bool HeldFile::stillIntact(QString *why) const
{
    struct stat now = {};
    struct stat named = {};
    if (d->fd < 0) {
        *why = QStringLiteral("the package is not held");
        return false;
    }
    // The name first: renaming or removing it also touches the held file's change time.
    if (::stat(QFile::encodeName(d->path).constData(), &named) != 0
        || named.st_dev != d->digested.st_dev || named.st_ino != d->digested.st_ino) {
        *why = QStringLiteral("%1 was replaced or removed after it was checked").arg(d->path);
        return false;
    }
    if (::fstat(d->fd, &now) != 0 || !sameContent(now, d->digested)) {
        *why = QStringLiteral("%1 was changed after it was checked").arg(d->path);
        return false;
    }
    return true;
}

QString HeldFile::installPath() const
{
    return d->fd < 0 ? QString() : QStringLiteral("/proc/self/fd/%1").arg(d->fd);
}

bool HeldFile::isHeld() const
{
    return d->fd >= 0;
}

void HeldFile::release()
{
    if (d->fd >= 0)
        ::close(d->fd);
    d->fd = -1;
    d->path.clear();
}

QString HeldFile::errorString() const
{
    return d->error;
}

// --- Package signatures ------------------------------------------------------------------------

void SignatureCheckPreparation::start() {}

PackageSignatureCheck checkPackageSignature(const QString &, const QList<QByteArray> &)
{
    PackageSignatureCheck check;
    check.verdict = PackageSignatureCheck::NotChecked;
    check.reason = QStringLiteral("package signatures are not checked on this platform");
    return check;
}

} // namespace DlrPlatform
