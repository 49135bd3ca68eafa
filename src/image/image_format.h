// Field access to image headers and to the sub-image table of a multi-file
// image, over a buffer of known length. Header-only and free of the platform,
// so the update_image tool reads images exactly as the daemon does.
//
// Every function that reads takes the buffer's length and never reads
// outside it; offsets are computed in 64 bits so that no table entry can
// wrap them around.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

// Offsets of the examined fields of the 64-byte header (all big-endian).
constexpr size_t headerMagicOffset = 0;
constexpr size_t headerCrcOffset = 4;
constexpr size_t headerDataSizeOffset = 12;
constexpr size_t headerDataCrcOffset = 24;
constexpr size_t headerImageTypeOffset = 30;
constexpr size_t headerNameOffset = 32;

inline uint32_t readBe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

inline void writeBe32(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

inline uint64_t roundUp4(uint64_t size) { return (size + 3u) & ~static_cast<uint64_t>(3u); }

// The sub-image table that follows a 64-byte header: the number of non-zero
// words before the first zero word, counting only whole words inside the
// buffer. *terminated tells whether the zero word lies inside the buffer.
inline uint32_t countSubImages(const uint8_t* image, size_t length, bool* terminated) {
  uint32_t count = 0;
  *terminated = false;
  for (size_t offset = 64; length >= 4 && offset <= length - 4; offset += 4) {
    if (readBe32(image + offset) == 0) {
      *terminated = true;
      break;
    }
    ++count;
  }
  return count;
}

// Size of sub-image k; the table entry must lie inside the buffer (k below
// the count of a terminated table).
inline uint32_t subImageSize(const uint8_t* image, uint32_t k) {
  return readBe32(image + 64 + 4 * static_cast<size_t>(k));
}

// File offset of sub-image k of a table of count entries: past the header,
// the table with its zero word, and every earlier sub-image rounded up to a
// multiple of 4 bytes. k < count, and the table must lie inside the buffer.
inline uint64_t subImageOffset(const uint8_t* image, uint32_t count, uint32_t k) {
  uint64_t offset = 64 + 4 * (static_cast<uint64_t>(count) + 1);
  for (uint32_t i = 0; i < k; ++i) offset += roundUp4(subImageSize(image, i));
  return offset;
}

// Whether sub-image k lies wholly inside a buffer of length bytes.
inline bool subImageInside(const uint8_t* image, uint32_t count, uint32_t k, size_t length) {
  return subImageOffset(image, count, k) + subImageSize(image, k) <= length;
}

// A signature sub-image: the magic, the signer's key id (the first 8 bytes
// of the SHA-512 of its 32-byte Ed25519 public key) and the 64-byte
// Ed25519 signature. It sits between the package (sub-image 1) and the
// software image (the last), where a daemon without trusted keys looks at
// nothing. The signed message is the domain text with its NUL, then the
// package and the software image, each preceded by its length as 8 bytes
// big-endian: exactly the bytes the daemon unpacks and writes.
constexpr uint8_t signatureMagic[8] = {'U', 'P', 'D', 'S', 'I', 'G', '0', '1'};
constexpr size_t signatureMagicSize = sizeof signatureMagic;
constexpr size_t signatureKeyIdOffset = 8;
constexpr size_t signatureKeyIdSize = 8;
constexpr size_t signatureOffset = 16;
constexpr size_t signatureSize = 64;
constexpr size_t signatureImageSize = 80;
constexpr char signatureDomain[] = "update_process archive signature 1";  // signed with its NUL
constexpr size_t signatureDomainSize = sizeof signatureDomain;

inline void writeBe64(uint8_t* bytes, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
}

// Whether sub-image k of a table of count entries is a signature sub-image:
// between the package and the software image, inside the buffer, and
// beginning with the magic (its size is the reader's check).
inline bool isSignatureImage(const uint8_t* image, uint32_t count, uint32_t k, size_t length) {
  if (k < 2 || k + 1 >= count || !subImageInside(image, count, k, length)) return false;
  if (subImageSize(image, k) < signatureMagicSize) return false;
  const uint8_t* start = image + subImageOffset(image, count, k);
  for (size_t i = 0; i < signatureMagicSize; ++i)
    if (start[i] != signatureMagic[i]) return false;
  return true;
}

}  // namespace upd
