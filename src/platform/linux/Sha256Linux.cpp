// SHA-256 through OpenSSL's EVP interface, which picks the processor's SHA instructions.
#include "DlrPlatform.h"

#include <openssl/evp.h>

namespace DlrPlatform {

struct Sha256::Private
{
    EVP_MD_CTX *context = nullptr;
    bool failed = false;
};

Sha256::Sha256()
    : d(new Private)
{
    d->context = EVP_MD_CTX_new();
    d->failed = !d->context || EVP_DigestInit_ex(d->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(d->context);
}

void Sha256::addData(const char *data, qint64 length)
{
    if (!d->failed && length > 0)
        d->failed = EVP_DigestUpdate(d->context, data, size_t(length)) != 1;
}

QByteArray Sha256::hexResult() const
{
    if (d->failed)
        return QByteArray();
    // Finishing a copy leaves the running digest open for more data.
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool ok = copy && EVP_MD_CTX_copy_ex(copy, d->context) == 1
                    && EVP_DigestFinal_ex(copy, digest, &size) == 1;
    EVP_MD_CTX_free(copy);
    return ok ? QByteArray(reinterpret_cast<const char *>(digest), int(size)).toHex()
              : QByteArray();
}

} // namespace DlrPlatform
