// Ed25519 signature verification.
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
int ed25519Verify(const uint8_t signature[64], const uint8_t publicKey[32], const ByteSpan* parts,
                  size_t count);
}  // namespace upd
