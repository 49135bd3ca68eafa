#include "image/ed25519.h"

#include <cstring>

#include "image/sha512.h"

namespace upd {
namespace {

// --- The field of integers modulo p = 2^255 - 19 ---------------------------
//
// An element is sixteen limbs of 16 bits, least significant first, value
// sum(limb[i] * 2^(16 i)). Sums and differences are left uncarried (limbs a
// little above 2^16 or negative); products are carried back to limbs in
// [-38, 2^16 + 38]. Products of two limbs need 32 x 32 -> 64-bit
// multiplications only, which a 32-bit processor has.
struct Fe {
  int32_t limb[16];
};

constexpr Fe feOne = {{1}};
// d = -121665 / 121666, the curve's constant.
constexpr Fe curveD = {{30883, 4953, 19914, 30187, 55467, 16705, 2637, 112, 59544, 30585, 16505,
                        36039, 65139, 11119, 27886, 20995}};
// 2^((p - 1) / 4), a square root of -1.
constexpr Fe sqrtMinusOne = {{41136, 18958, 6951, 50414, 58488, 44335, 6150, 12099, 55207, 15867,
                              153, 11085, 57099, 20417, 9344, 11139}};
// The base point B: y = 4/5, x even.
constexpr Fe baseX = {{54554, 36645, 11616, 51542, 42930, 38181, 51040, 26924, 56412, 64982,
                       57905, 49316, 21502, 52590, 14035, 8553}};
constexpr Fe baseY = {{26200, 26214, 26214, 26214, 26214, 26214, 26214, 26214, 26214, 26214,
                       26214, 26214, 26214, 26214, 26214, 26214}};

void feAdd(Fe& out, const Fe& a, const Fe& b) {
  for (int i = 0; i < 16; ++i) out.limb[i] = a.limb[i] + b.limb[i];
}

void feSub(Fe& out, const Fe& a, const Fe& b) {
  for (int i = 0; i < 16; ++i) out.limb[i] = a.limb[i] - b.limb[i];
}

// One carry pass over t: every limb to [0, 2^16), then the carry out of the
// top limb (2^256 = 38 modulo p) added to the lowest. Returns that carry.
int64_t carry(int64_t t[16]) {
  int64_t c = 0;
  for (int i = 0; i < 16; ++i) {
    t[i] += c;
    c = t[i] >> 16;  // arithmetic: rounds towards minus infinity
    t[i] -= c * 65536;
  }
  t[0] += 38 * c;
  return c;
}

// out = t for the 31 column sums of a product: the upper fifteen folded into
// the lower sixteen (2^256 = 38 modulo p), then carried twice.
void feReduce(Fe& out, int64_t t[31]) {
  for (int i = 0; i < 15; ++i) t[i] += 38 * t[i + 16];
  carry(t);
  carry(t);
  for (int i = 0; i < 16; ++i) out.limb[i] = static_cast<int32_t>(t[i]);
}

void feMul(Fe& out, const Fe& a, const Fe& b) {
  int64_t t[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) t[i + j] += int64_t{a.limb[i]} * b.limb[j];
  }
  feReduce(out, t);
}

// a^2 with each product of two different limbs taken once, doubled.
void feSquare(Fe& out, const Fe& a) {
  int64_t t[31] = {};
  for (int i = 0; i < 16; ++i) {
    t[2 * i] += int64_t{a.limb[i]} * a.limb[i];
    int32_t twice = 2 * a.limb[i];
    for (int j = i + 1; j < 16; ++j) t[i + j] += int64_t{twice} * a.limb[j];
  }
  feReduce(out, t);
}

// out = x^(2^n) y: x squared n times, times y.
void feSquareTimesMul(Fe& out, const Fe& x, int n, const Fe& y) {
  feSquare(out, x);
  while (--n > 0) feSquare(out, out);
  feMul(out, out, y);
}

// The canonical 32 bytes, little-endian, of a's value modulo p.
void feToBytes(uint8_t out[32], const Fe& a) {
  int64_t t[16];
  for (int i = 0; i < 16; ++i) t[i] = a.limb[i];
  while (carry(t) != 0) {
  }
  // Now 0 <= t < 2^256 = 2p + 38: subtracting p at most twice brings it below p.
  for (int round = 0; round < 2; ++round) {
    int64_t m[16], borrow = 0;
    for (int i = 0; i < 16; ++i) {
      int64_t pLimb = i == 0 ? 0xffed : i == 15 ? 0x7fff : 0xffff;
      m[i] = t[i] - pLimb - borrow;
      borrow = m[i] < 0;
      m[i] += borrow * 65536;
    }
    if (!borrow) std::memcpy(t, m, sizeof t);
  }
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<uint8_t>(t[i]);
    out[2 * i + 1] = static_cast<uint8_t>(t[i] >> 8);
  }
}

// Bits 0..254 of 32 little-endian bytes; bit 255 is left out.
void feFromBytes(Fe& out, const uint8_t in[32]) {
  for (int i = 0; i < 16; ++i) out.limb[i] = in[2 * i] | (in[2 * i + 1] << 8);
  out.limb[15] &= 0x7fff;
}

bool feIsZero(const Fe& a) {
  uint8_t bytes[32];
  feToBytes(bytes, a);
  uint8_t any = 0;
  for (uint8_t byte : bytes) any |= byte;
  return any == 0;
}

// The powers of a that inversion, a^(p - 2) = a^((2^250 - 1) 2^5 + 11), and
// the square root, a^((p - 5) / 8) = a^((2^250 - 1) 2^2 + 1), need: runs of
// ones in the exponent doubled, a^(2^(m + n) - 1) = (a^(2^m - 1))^(2^n)
// a^(2^n - 1), some 250 squarings and a dozen multiplications in all.
enum class Power { inverse, root };

void fePow(Fe& out, const Fe& a, Power power) {
  Fe a2, a3, x4, x5, x10, x20, x50, x100, t;  // xn = a^(2^n - 1)
  feSquare(a2, a);
  feMul(a3, a2, a);
  feSquareTimesMul(x4, a3, 2, a3);
  feSquareTimesMul(x5, x4, 1, a);
  feSquareTimesMul(x10, x5, 5, x5);
  feSquareTimesMul(x20, x10, 10, x10);
  feSquareTimesMul(t, x20, 20, x20);  // x40
  feSquareTimesMul(x50, t, 10, x10);
  feSquareTimesMul(x100, x50, 50, x50);
  feSquareTimesMul(t, x100, 100, x100);  // x200
  feSquareTimesMul(t, t, 50, x50);       // x250
  if (power == Power::root) {
    feSquareTimesMul(t, t, 2, a);
  } else {
    feSquareTimesMul(a2, a2, 2, a3);  // a^11
    feSquareTimesMul(t, t, 5, a2);
  }
  out = t;
}

// --- Points of the curve -x^2 + y^2 = 1 + d x^2 y^2 ------------------------
//
// Extended coordinates: x = X / Z, y = Y / Z, x y = T / Z.
struct Point {
  Fe x, y, z, t;
};

// p + q, with the formulas RFC 8032 gives for a = -1.
void pointAdd(Point& out, const Point& p, const Point& q) {
  Fe a, b, c, d, e, f, g, h, u;
  feSub(u, p.y, p.x);
  feSub(h, q.y, q.x);
  feMul(a, u, h);
  feAdd(u, p.y, p.x);
  feAdd(h, q.y, q.x);
  feMul(b, u, h);
  feAdd(u, curveD, curveD);
  feMul(c, p.t, u);
  feMul(c, c, q.t);
  feAdd(u, p.z, p.z);
  feMul(d, u, q.z);
  feSub(e, b, a);
  feSub(f, d, c);
  feAdd(g, d, c);
  feAdd(h, b, a);
  feMul(out.x, e, f);
  feMul(out.y, g, h);
  feMul(out.t, e, h);
  feMul(out.z, f, g);
}

void pointDouble(Point& out, const Point& p) {
  Fe a, b, c, e, f, g, h;
  feSquare(a, p.x);
  feSquare(b, p.y);
  feSquare(c, p.z);
  feAdd(c, c, c);
  feAdd(h, a, b);
  feAdd(e, p.x, p.y);
  feSquare(e, e);
  feSub(e, h, e);
  feSub(g, a, b);
  feAdd(f, c, g);
  feMul(out.x, e, f);
  feMul(out.y, g, h);
  feMul(out.t, e, h);
  feMul(out.z, f, g);
}

void pointEncode(uint8_t out[32], const Point& p) {
  Fe inverse, x, y;
  fePow(inverse, p.z, Power::inverse);
  feMul(x, p.x, inverse);
  feMul(y, p.y, inverse);
  uint8_t xBytes[32];
  feToBytes(xBytes, x);
  feToBytes(out, y);
  out[31] |= static_cast<uint8_t>(xBytes[0] << 7);
}

// Decodes a point as RFC 8032 does; false for an encoding with y >= p, for
// x = 0 with the sign bit set and for a y with no point on the curve.
bool pointDecode(Point& out, const uint8_t in[32]) {
  // y < p: its canonical encoding is the given one, sign bit aside.
  uint8_t bytes[32];
  feFromBytes(out.y, in);
  feToBytes(bytes, out.y);
  bytes[31] |= in[31] & 0x80;
  if (std::memcmp(bytes, in, 32) != 0) return false;
  int sign = in[31] >> 7;
  Fe u, v, v3, x, check;
  // x^2 = u / v with u = y^2 - 1, v = d y^2 + 1; the candidate root is
  // x = u v^3 (u v^7)^((p - 5) / 8).
  feSquare(u, out.y);
  feMul(v, u, curveD);
  feSub(u, u, feOne);
  feAdd(v, v, feOne);
  feSquare(v3, v);
  feMul(v3, v3, v);
  feSquare(x, v3);
  feMul(x, x, v);
  feMul(x, x, u);
  fePow(x, x, Power::root);
  feMul(x, x, v3);
  feMul(x, x, u);
  feSquare(check, x);
  feMul(check, check, v);
  feSub(v3, check, u);
  if (!feIsZero(v3)) {
    feAdd(v3, check, u);
    if (!feIsZero(v3)) return false;
    feMul(x, x, sqrtMinusOne);
  }
  if (feIsZero(x) && sign) return false;
  feToBytes(bytes, x);
  if ((bytes[0] & 1) != sign) feSub(x, Fe{}, x);
  out.x = x;
  out.z = feOne;
  feMul(out.t, x, out.y);
  return true;
}

// --- Scalars modulo L = 2^252 + 27742317777372353535851937790883648493 ----

constexpr uint8_t orderL[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// a < L for 32 little-endian bytes.
bool belowOrder(const uint8_t a[32]) {
  for (int i = 31; i >= 0; --i) {
    if (a[i] != orderL[i]) return a[i] < orderL[i];
  }
  return false;
}

// out = in mod L for 64 little-endian bytes, one bit at a time from the top:
// r = 2 r + bit, less L when that reaches L (r stays below 2^254).
void reduceModOrder(uint8_t out[32], const uint8_t in[64]) {
  uint8_t r[32] = {};
  for (int bit = 511; bit >= 0; --bit) {
    int carryBit = (in[bit / 8] >> (bit % 8)) & 1;
    for (int i = 0; i < 32; ++i) {
      int value = (r[i] << 1) | carryBit;
      r[i] = static_cast<uint8_t>(value);
      carryBit = value >> 8;
    }
    if (!belowOrder(r)) {
      int borrow = 0;
      for (int i = 0; i < 32; ++i) {
        int value = r[i] - orderL[i] - borrow;
        borrow = value < 0;
        r[i] = static_cast<uint8_t>(value + borrow * 256);
      }
    }
  }
  std::memcpy(out, r, sizeof r);
}

inline int scalarBit(const uint8_t s[32], int bit) { return (s[bit / 8] >> (bit % 8)) & 1; }

}  // namespace

int ed25519Verify(const uint8_t signature[64], const uint8_t publicKey[32], const ByteSpan* parts,
                  size_t count) {
  const uint8_t* encodedR = signature;
  const uint8_t* s = signature + 32;
  Point a, r;
  if (!pointDecode(a, publicKey) || !pointDecode(r, encodedR) || !belowOrder(s)) return 0;

  // k = SHA-512(R || A || M) mod L.
  Sha512 hash;
  sha512Init(hash);
  sha512Update(hash, encodedR, 32);
  sha512Update(hash, publicKey, 32);
  for (size_t i = 0; i < count; ++i) sha512Update(hash, parts[i].data, parts[i].size);
  uint8_t digest[64], k[32];
  sha512Final(hash, digest);
  reduceModOrder(k, digest);

  // [S]B + [k](-A), both scalars at once from their top bits (both are
  // below L < 2^253), compared with R by encoding: the cofactorless check.
  Point base = {baseX, baseY, feOne, {}};
  feMul(base.t, baseX, baseY);
  feSub(a.x, Fe{}, a.x);
  feSub(a.t, Fe{}, a.t);
  Point both;
  pointAdd(both, base, a);
  const Point* const addends[4] = {nullptr, &base, &a, &both};
  Point sum = {{}, feOne, feOne, {}};
  for (int bit = 252; bit >= 0; --bit) {
    pointDouble(sum, sum);
    int which = scalarBit(s, bit) | scalarBit(k, bit) << 1;
    if (which != 0) pointAdd(sum, sum, *addends[which]);
  }
  uint8_t encoded[32];
  pointEncode(encoded, sum);
  return std::memcmp(encoded, encodedR, 32) == 0 ? 1 : 0;
}

}  // namespace upd
