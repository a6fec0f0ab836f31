// SHA-256 through Windows' CNG (bcrypt.dll), the system's fast path.
#include <windows.h>

#include <bcrypt.h>

#include "DlrPlatform.h"

namespace DlrPlatform {

struct Sha256::Private
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

static bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

Sha256::Sha256()
    : d(new Private)
{
    d->failed = !succeeded(BCryptOpenAlgorithmProvider(&d->algorithm, BCRYPT_SHA256_ALGORITHM,
                                                       nullptr, 0))
                || !succeeded(BCryptCreateHash(d->algorithm, &d->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256()
{
    if (d->hash)
        BCryptDestroyHash(d->hash);
    if (d->algorithm)
        BCryptCloseAlgorithmProvider(d->algorithm, 0);
}

void Sha256::addData(const char *data, qint64 length)
{
    // BCryptHashData takes a 32-bit length.
    while (!d->failed && length > 0) {
        const ULONG step = ULONG(qMin<qint64>(length, 1 << 30));
        d->failed = !succeeded(BCryptHashData(
                d->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(data)), step, 0));
        data += step;
        length -= step;
    }
}

QByteArray Sha256::hexResult() const
{
    if (d->failed)
        return QByteArray();
    // Finishing a duplicate leaves the running digest open for more data.
    BCRYPT_HASH_HANDLE copy = nullptr;
    UCHAR digest[32];
    bool ok = succeeded(BCryptDuplicateHash(d->hash, &copy, nullptr, 0, 0));
    ok = ok && succeeded(BCryptFinishHash(copy, digest, sizeof digest, 0));
    if (copy)
        BCryptDestroyHash(copy);
    return ok ? QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex()
              : QByteArray();
}

} // namespace DlrPlatform
