#pragma once

// Inside the platform layer: the encodings around a list signature, shared by both sides, and
// the one step each side does with its own crypto.

#include "DlrTrustPlatform.h"

#include <QByteArray>
#include <QList>

namespace DlrPlatform {
namespace TrustEncoding {

// Base64 (standard alphabet, padded) with white space ignored. False on anything else.
bool decodeBase64(const QByteArray &text, QByteArray *bytes);

// An ECDSA P-256 signature in strict DER (SEQUENCE of two minimal positive INTEGERs of at most
// 32 significant bytes, nothing after): *rs gets r and s, 32 big-endian bytes each.
bool derSignatureToRaw(const QByteArray &der, QByteArray *rs);

// The DER inside a PEM block "-----BEGIN <label>-----". False when there is none or it is not
// base64.
bool pemToDer(const QByteArray &pem, const QByteArray &label, QByteArray *der);

// The 64 bytes X||Y of a P-256 public key in SubjectPublicKeyInfo DER (uncompressed point).
bool p256PointFromSubjectPublicKeyInfo(const QByteArray &spki, QByteArray *xy);

} // namespace TrustEncoding

// Each side's own step: verify a well-formed signature (given both as DER and as raw r||s)
// over the SHA-256 digest of the data, against each key in turn.
SignatureCheck verifyDigestSignature(const QByteArray &sha256,
                                     const QByteArray &derSignature,
                                     const QByteArray &rawSignature,
                                     const QList<QByteArray> &publicKeysPem);

} // namespace DlrPlatform
