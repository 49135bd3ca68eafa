// CRC-32 (ISO-HDLC), byte-wise and braided.
//
// The braided method splits the input into five interleaved streams of
// 8-byte words ("braids"): word i belongs to braid i mod 5. Each braid keeps
// its own CRC register, which a table step carries across the 40 bytes to
// that braid's next word, so the five registers advance independently and
// the processor overlaps their table look-ups. The last five words are taken
// in sequence, which joins the braids back into one register. Words are
// assembled from bytes as little-endian values, so the result is the same on
// a big-endian target.
#include "image/crc32.h"

#include <array>

namespace upd {
namespace {

constexpr uint32_t polynomial = 0xEDB88320u;
constexpr size_t braidCount = 5;  // interleaved streams
constexpr size_t wordBytes = 8;   // bytes per word of a stream
constexpr size_t blockBytes = braidCount * wordBytes;

using ByteTable = std::array<uint32_t, 256>;

constexpr ByteTable makeByteTable() {
  ByteTable table{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t value = byte;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1u) ? (value >> 1) ^ polynomial : value >> 1;
    table[byte] = value;
  }
  return table;
}

// The published byte-wise table.
constexpr ByteTable byteTable = makeByteTable();
static_assert(byteTable[1] == 0x77073096u, "byte-wise table entry 1");
static_assert(byteTable[255] == 0x2D02EF8Du, "byte-wise table entry 255");

// braidTables[k][b]: what byte b at position k of a word contributes to the
// register at the start of the same braid's next word, blockBytes further
// on: the byte's table entry carried through the blockBytes - k - 1 bytes
// that lie between.
using BraidTables = std::array<ByteTable, wordBytes>;

constexpr BraidTables makeBraidTables() {
  BraidTables tables{};
  for (size_t k = 0; k < wordBytes; ++k)
    for (size_t byte = 0; byte < 256; ++byte) {
      uint32_t reg = byteTable[byte];
      for (size_t zero = 0; zero < blockBytes - k - 1; ++zero)
        reg = (reg >> 8) ^ byteTable[reg & 0xFFu];
      tables[k][byte] = reg;
    }
  return tables;
}

constexpr BraidTables braidTables = makeBraidTables();

inline uint32_t stepByte(uint32_t reg, uint8_t byte) {
  return (reg >> 8) ^ byteTable[(reg ^ byte) & 0xFFu];
}

inline uint64_t loadLittleEndian64(const uint8_t* p) {
  return static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 |
         static_cast<uint64_t>(p[2]) << 16 | static_cast<uint64_t>(p[3]) << 24 |
         static_cast<uint64_t>(p[4]) << 32 | static_cast<uint64_t>(p[5]) << 40 |
         static_cast<uint64_t>(p[6]) << 48 | static_cast<uint64_t>(p[7]) << 56;
}

// A register (low 32 bits) combined with the word's bytes, carried through
// the word's eight bytes.
inline uint64_t crcWord(uint64_t value) {
  for (size_t k = 0; k < wordBytes; ++k) value = (value >> 8) ^ byteTable[value & 0xFFu];
  return value;
}

inline uint64_t braidStep(uint64_t word) {
  const auto& t = braidTables;
  return t[0][word & 0xFFu] ^ t[1][(word >> 8) & 0xFFu] ^ t[2][(word >> 16) & 0xFFu] ^
         t[3][(word >> 24) & 0xFFu] ^ t[4][(word >> 32) & 0xFFu] ^ t[5][(word >> 40) & 0xFFu] ^
         t[6][(word >> 48) & 0xFFu] ^ t[7][word >> 56];
}

}  // namespace

uint32_t crc32Bytewise(const uint8_t* data, size_t length) {
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) reg = stepByte(reg, data[i]);
  return ~reg;
}

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t length) {
  uint32_t reg = ~crc;
  size_t blocks = length / blockBytes;
  if (blocks > 0) {
    uint64_t c0 = reg, c1 = 0, c2 = 0, c3 = 0, c4 = 0;
    for (; blocks > 1; --blocks) {
      uint64_t w0 = c0 ^ loadLittleEndian64(data);
      uint64_t w1 = c1 ^ loadLittleEndian64(data + 8);
      uint64_t w2 = c2 ^ loadLittleEndian64(data + 16);
      uint64_t w3 = c3 ^ loadLittleEndian64(data + 24);
      uint64_t w4 = c4 ^ loadLittleEndian64(data + 32);
      data += blockBytes;
      length -= blockBytes;
      c0 = braidStep(w0);
      c1 = braidStep(w1);
      c2 = braidStep(w2);
      c3 = braidStep(w3);
      c4 = braidStep(w4);
    }
    // The last block in sequence: each braid's register joins the running one.
    uint64_t value = crcWord(c0 ^ loadLittleEndian64(data));
    value = crcWord(c1 ^ loadLittleEndian64(data + 8) ^ value);
    value = crcWord(c2 ^ loadLittleEndian64(data + 16) ^ value);
    value = crcWord(c3 ^ loadLittleEndian64(data + 24) ^ value);
    value = crcWord(c4 ^ loadLittleEndian64(data + 32) ^ value);
    data += blockBytes;
    length -= blockBytes;
    reg = static_cast<uint32_t>(value);
  }
  while (length-- > 0) reg = stepByte(reg, *data++);
  return ~reg;
}

uint32_t crc32(const uint8_t* data, size_t length) { return crc32Update(0, data, length); }

}  // namespace upd
