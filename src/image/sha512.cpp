#include "image/sha512.h"

#include <cstring>

namespace upd {
namespace {

// The first 64 bits of the fractional parts of the cube roots of the first
// 80 primes.
constexpr uint64_t roundConstants[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

inline uint64_t rotr(uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

inline uint64_t load64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | p[i];
  return value;
}

inline void store64(uint8_t* p, uint64_t value) {
  for (int i = 7; i >= 0; --i, value >>= 8) p[i] = static_cast<uint8_t>(value);
}

// One round on the working variables a..h, given the round's message word
// plus constant: h becomes the new a, d the new e.
#define SHA512_ROUND(a, b, c, d, e, f, g, h, word)                                       \
  do {                                                                                   \
    uint64_t t1 = h + (rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41)) + (g ^ (e & (f ^ g))) + \
                  (word);                                                                \
    uint64_t t2 = (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) + ((a & b) | (c & (a | b))); \
    d += t1;                                                                             \
    h = t1 + t2;                                                                         \
  } while (0)

// The message word of round j >= 16 from the sixteen before it, w[j & 15]
// holding word j - 16 on entry.
inline uint64_t nextWord(const uint64_t w[16], int j) {
  uint64_t w15 = w[(j + 1) & 15], w2 = w[(j + 14) & 15];
  return (rotr(w15, 1) ^ rotr(w15, 8) ^ (w15 >> 7)) + (rotr(w2, 19) ^ rotr(w2, 61) ^ (w2 >> 6)) +
         w[(j + 9) & 15];
}

// Processes count blocks of 128 bytes. The size-optimised build runs one
// round in a loop and moves the working variables; otherwise eight rounds at
// a time are written out, the variables renamed instead of moved.
void compress(uint64_t state[8], const uint8_t* data, size_t count) {
  for (; count > 0; --count, data += 128) {
    uint64_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load64(data + 8 * i);
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
#ifdef __OPTIMIZE_SIZE__
    for (int i = 0; i < 80; ++i) {
      if (i >= 16) w[i & 15] += nextWord(w, i);
      SHA512_ROUND(a, b, c, d, e, f, g, h, roundConstants[i] + w[i & 15]);
      uint64_t t = h;
      h = g, g = f, f = e, e = d, d = c, c = b, b = a, a = t;
    }
#else
    for (int i = 0; i < 80; i += 8) {
      if (i >= 16) {
        for (int j = i; j < i + 8; ++j) w[j & 15] += nextWord(w, j);
      }
      const uint64_t* k = roundConstants + i;
      const uint64_t* x = w + (i & 15);
      SHA512_ROUND(a, b, c, d, e, f, g, h, k[0] + x[0]);
      SHA512_ROUND(h, a, b, c, d, e, f, g, k[1] + x[1]);
      SHA512_ROUND(g, h, a, b, c, d, e, f, k[2] + x[2]);
      SHA512_ROUND(f, g, h, a, b, c, d, e, k[3] + x[3]);
      SHA512_ROUND(e, f, g, h, a, b, c, d, k[4] + x[4]);
      SHA512_ROUND(d, e, f, g, h, a, b, c, k[5] + x[5]);
      SHA512_ROUND(c, d, e, f, g, h, a, b, k[6] + x[6]);
      SHA512_ROUND(b, c, d, e, f, g, h, a, k[7] + x[7]);
    }
#endif
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
  }
}

#undef SHA512_ROUND

}  // namespace

void sha512Init(Sha512& hash) {
  // The first 64 bits of the fractional parts of the square roots of the
  // first eight primes.
  static constexpr uint64_t initial[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b,
                                          0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
                                          0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                          0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
  std::memcpy(hash.state, initial, sizeof initial);
  hash.length = 0;
  hash.used = 0;
}

void sha512Update(Sha512& hash, const void* data, size_t size) {
  if (size == 0) return;  // data may then be null
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  hash.length += size;
  if (hash.used > 0) {
    size_t take = sizeof hash.block - hash.used;
    if (take > size) take = size;
    std::memcpy(hash.block + hash.used, bytes, take);
    hash.used += take;
    bytes += take;
    size -= take;
    if (hash.used < sizeof hash.block) return;
    compress(hash.state, hash.block, 1);
    hash.used = 0;
  }
  // Whole blocks straight from the caller's buffer.
  compress(hash.state, bytes, size / 128);
  bytes += size & ~size_t{127};
  size &= 127;
  if (size > 0) std::memcpy(hash.block, bytes, size);
  hash.used = size;
}

void sha512Final(Sha512& hash, uint8_t digest[64]) {
  // A one bit, zeros, and the length in bits as a 128-bit big-endian number
  // (the top 64 bits zero for messages below 2^61 bytes).
  uint64_t bits = hash.length << 3;
  hash.block[hash.used++] = 0x80;
  if (hash.used > 112) {
    std::memset(hash.block + hash.used, 0, 128 - hash.used);
    compress(hash.state, hash.block, 1);
    hash.used = 0;
  }
  std::memset(hash.block + hash.used, 0, 120 - hash.used);
  store64(hash.block + 120, bits);
  compress(hash.state, hash.block, 1);
  for (int i = 0; i < 8; ++i) store64(digest + 8 * i, hash.state[i]);
  hash.used = 0;
}

}  // namespace upd
