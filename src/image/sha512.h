// SHA-512 over data given in pieces.
#pragma once
#include <cstddef>
#include <cstdint>
namespace upd {
struct Sha512 {
  uint64_t state[8];
  uint64_t length;      // bytes hashed so far (messages below 2^61 bytes)
  uint8_t block[128];
  size_t used;          // bytes waiting in block
};
void sha512Init(Sha512& hash);
void sha512Update(Sha512& hash, const void* data, size_t size);
void sha512Final(Sha512& hash, uint8_t digest[64]);
}  // namespace upd
