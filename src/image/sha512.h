// SHA-512 (FIPS 180-4) over a message given in pieces: the digest of the
// signed update archive. Bytes are assembled explicitly, big-endian as the
// standard counts them, on any host.
#pragma once
#include <cstddef>
#include <cstdint>

namespace upd {

struct Sha512 {
  uint64_t state[8];
  uint64_t length;  // bytes hashed so far (messages below 2^61 bytes)
  uint8_t block[128];
  size_t used;  // bytes waiting in block
};

void sha512Init(Sha512& hash);
// Adds size bytes at data (which may be null when size is 0).
void sha512Update(Sha512& hash, const void* data, size_t size);
// Writes the digest; hash must be initialised again before further use.
void sha512Final(Sha512& hash, uint8_t digest[64]);

}  // namespace upd
