// CRC-32 (ISO-HDLC), byte-wise and eight bytes at a time.
#include "image/crc32.h"

#include <array>

#include "image/image.h"

namespace upd {
namespace {

constexpr uint32_t polynomial = 0xEDB88320u;
constexpr size_t sliceCount = 8;

using CrcTables = std::array<std::array<uint32_t, 256>, sliceCount>;

// tables[0] is the published byte-wise table; tables[k][b] is the CRC
// register after b has been followed by k zero bytes, which lets one step
// fold eight input bytes at once.
constexpr CrcTables makeTables() {
  CrcTables tables{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t value = byte;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1u) ? (value >> 1) ^ polynomial : value >> 1;
    tables[0][byte] = value;
  }
  for (size_t k = 1; k < sliceCount; ++k)
    for (size_t byte = 0; byte < 256; ++byte) {
      uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  return tables;
}

constexpr CrcTables crcTables = makeTables();
static_assert(crcTables[0][1] == 0x77073096u, "byte-wise table entry 1");
static_assert(crcTables[0][255] == 0x2D02EF8Du, "byte-wise table entry 255");

inline uint32_t stepByte(uint32_t reg, uint8_t byte) {
  return (reg >> 8) ^ crcTables[0][(reg ^ byte) & 0xFFu];
}

}  // namespace

uint32_t crc32Bytewise(const uint8_t* data, size_t length) {
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) reg = stepByte(reg, data[i]);
  return ~reg;
}

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t length) {
  uint32_t reg = ~crc;
  const auto& t = crcTables;
  while (length >= sliceCount) {
    // The first four bytes meet the register as a little-endian word,
    // assembled byte by byte so that the host's order plays no part.
    uint32_t low = reg ^ (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                          static_cast<uint32_t>(data[2]) << 16 |
                          static_cast<uint32_t>(data[3]) << 24);
    reg = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^
          t[4][low >> 24] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    data += sliceCount;
    length -= sliceCount;
  }
  while (length-- > 0) reg = stepByte(reg, *data++);
  return ~reg;
}

uint32_t crc32(const uint8_t* data, size_t length) { return crc32Update(0, data, length); }

}  // namespace upd
