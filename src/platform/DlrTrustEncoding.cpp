#include "DlrTrustEncoding.h"

#include "DlrPlatform.h"

namespace DlrPlatform {
namespace TrustEncoding {

static bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

static bool isBase64Letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+'
           || c == '/';
}

bool decodeBase64(const QByteArray &text, QByteArray *bytes)
{
    QByteArray packed;
    packed.reserve(text.size());
    for (char c : text) {
        if (!isSpace(c))
            packed.append(c);
    }
    if (packed.isEmpty() || packed.size() % 4 != 0)
        return false;
    int padding = 0;
    while (padding < 2 && packed.at(packed.size() - 1 - padding) == '=')
        ++padding;
    for (int i = 0; i < packed.size() - padding; ++i) {
        if (!isBase64Letter(packed.at(i)))
            return false;
    }
    *bytes = QByteArray::fromBase64(packed);
    return true;
}

// One DER INTEGER at *pos holding a positive value of at most 32 significant bytes, in minimal
// form; appended to *out left-padded to 32 bytes.
static bool readUnsigned256(const QByteArray &der, int *pos, QByteArray *out)
{
    const auto byte = [&der](int i) {
        return static_cast<unsigned char>(der.at(i));
    };
    if (*pos + 2 > der.size() || byte(*pos) != 0x02)
        return false;
    const int length = byte(*pos + 1);
    const int start = *pos + 2;
    if (length < 1 || length > 33 || start + length > der.size())
        return false;
    if (byte(start) & 0x80)
        return false; // negative
    if (length > 1 && byte(start) == 0 && !(byte(start + 1) & 0x80))
        return false; // a leading zero that is not needed
    int skip = (byte(start) == 0 && length > 1) ? 1 : 0;
    if (length - skip > 32)
        return false;
    out->append(QByteArray(32 - (length - skip), '\0'));
    out->append(der.mid(start + skip, length - skip));
    *pos = start + length;
    return true;
}

bool derSignatureToRaw(const QByteArray &der, QByteArray *rs)
{
    // Two integers of at most 33 bytes fit a short-form length, so a long form is not DER here.
    if (der.size() < 8 || static_cast<unsigned char>(der.at(0)) != 0x30
        || static_cast<unsigned char>(der.at(1)) != der.size() - 2)
        return false;
    QByteArray raw;
    int pos = 2;
    if (!readUnsigned256(der, &pos, &raw) || !readUnsigned256(der, &pos, &raw) || pos != der.size())
        return false;
    *rs = raw;
    return true;
}

bool pemToDer(const QByteArray &pem, const QByteArray &label, QByteArray *der)
{
    const QByteArray begin = "-----BEGIN " + label + "-----";
    const QByteArray end = "-----END " + label + "-----";
    const int from = pem.indexOf(begin);
    const int to = from < 0 ? -1 : pem.indexOf(end, from);
    if (to < 0)
        return false;
    return decodeBase64(pem.mid(from + begin.size(), to - from - begin.size()), der);
}

bool p256PointFromSubjectPublicKeyInfo(const QByteArray &spki, QByteArray *xy)
{
    // SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 04 X Y } }: for this one
    // curve and the uncompressed point the whole prefix is fixed.
    static const unsigned char prefix[]
            = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
               0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
    const QByteArray expected(reinterpret_cast<const char *>(prefix), sizeof prefix);
    if (spki.size() != int(sizeof prefix) + 64 || !spki.startsWith(expected))
        return false;
    *xy = spki.mid(sizeof prefix);
    return true;
}

} // namespace TrustEncoding

SignatureCheck verifyListSignature(const QByteArray &data,
                                   const QByteArray &signatureText,
                                   const QList<QByteArray> &publicKeysPem)
{
    Sha256 digest;
    digest.addData(data.constData(), data.size());
    return verifyListSignatureOfDigest(digest.hexResult(), signatureText, publicKeysPem);
}

SignatureCheck verifyListSignatureOfDigest(const QByteArray &sha256Hex,
                                           const QByteArray &signatureText,
                                           const QList<QByteArray> &publicKeysPem)
{
    SignatureCheck check;
    if (signatureText.trimmed().isEmpty()) {
        check.verdict = SignatureVerdict::Missing;
        check.detail = QStringLiteral("no signature came with it");
        return check;
    }
    QByteArray der;
    if (!TrustEncoding::decodeBase64(signatureText, &der)) {
        check.verdict = SignatureVerdict::NotBase64;
        check.detail = QStringLiteral("the signature is not base64");
        return check;
    }
    QByteArray raw;
    if (!TrustEncoding::derSignatureToRaw(der, &raw)) {
        check.verdict = SignatureVerdict::NotDer;
        check.detail = QStringLiteral("the signature is not an ECDSA signature in DER (%1 bytes)")
                               .arg(der.size());
        return check;
    }
    const QByteArray sha256 = QByteArray::fromHex(sha256Hex);
    if (sha256.size() != 32) {
        check.verdict = SignatureVerdict::NoUsableKey;
        check.detail = QStringLiteral("no SHA-256 of the list (the system's SHA-256 failed)");
        return check;
    }
    return verifyDigestSignature(sha256, der, raw, publicKeysPem);
}

QString signatureVerdictText(SignatureVerdict verdict)
{
    switch (verdict) {
    case SignatureVerdict::Good:
        return QStringLiteral("good");
    case SignatureVerdict::Missing:
        return QStringLiteral("missing");
    case SignatureVerdict::NotBase64:
        return QStringLiteral("not base64");
    case SignatureVerdict::NotDer:
        return QStringLiteral("not DER");
    case SignatureVerdict::BadSignature:
        return QStringLiteral("bad signature");
    case SignatureVerdict::NoUsableKey:
        return QStringLiteral("no usable key");
    }
    return QString();
}

} // namespace DlrPlatform
