#pragma once

#include <QByteArray>
#include <QList>

// What this build trusts, compiled in from the build options: the maker's public keys that may
// sign a product list (cmake -DTESS_MAKER_KEYS=FILE.pem: one or more, so a key can be rotated)
// and the SHA-256 thumbprints of the maker's code-signing certificates
// (-DTESS_MAKER_PUBLISHERS=FILE). Both are empty in a developer's build.
namespace DlrMakerKeys {

// PEM public keys (ECDSA P-256), one per entry.
QList<QByteArray> listKeys();
// 64 lowercase hex digits each.
QList<QByteArray> publisherSha256();

} // namespace DlrMakerKeys
