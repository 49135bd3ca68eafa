// Ed25519 signature verification (RFC 8032, pure Ed25519 without context):
// the check of an update archive's signature against a trusted key before
// anything of the archive is used. Public data only, so not constant-time.
#pragma once
#include <cstddef>
#include <cstdint>

namespace upd {

struct ByteSpan {
  const uint8_t* data;
  size_t size;
};

// 1 when signature is a valid Ed25519 signature (RFC 8032, pure Ed25519, no
// context) by publicKey of the concatenation of the count parts; 0 otherwise.
// Rejects every non-canonical encoding RFC 8032 rejects: S >= L, a point
// encoding with y >= p, x = 0 with its sign bit set, a point not on the curve.
// The check is the cofactorless equation [S]B = R + [k]A.
int ed25519Verify(const uint8_t signature[64], const uint8_t publicKey[32], const ByteSpan* parts,
                  size_t count);

}  // namespace upd
