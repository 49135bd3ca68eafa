// The 64-byte big-endian image header: every field by name, the codes that
// update_image writes into the fields the daemon does not examine, and the
// builders of single and multi-file images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace updimage {

using Bytes = std::vector<uint8_t>;

struct Header {
  uint32_t magic = 0;
  uint32_t headerCrc = 0;
  uint32_t time = 0;  // seconds since 1970, UTC
  uint32_t dataSize = 0;
  uint32_t load = 0;
  uint32_t entry = 0;
  uint32_t dataCrc = 0;
  uint8_t os = 0;
  uint8_t arch = 0;
  uint8_t type = 0;
  uint8_t compression = 0;
  std::string name;  // up to 32 bytes, cut at the first NUL
};

// Codes of the fields the daemon does not examine, as update_image writes
// them: the software runs Linux on a 32-bit PowerPC, nothing is compressed
// as a whole. The single software image is type 2.
constexpr uint8_t osLinux = 5;
constexpr uint8_t archPowerPC = 7;
constexpr uint8_t compressionNone = 0;
constexpr uint8_t singleImageType = 2;

// CRC-32 of gzip (zlib's crc32), continued over more bytes: crcUpdate(0,
// ...) starts one.
uint32_t crcUpdate(uint32_t crc, const uint8_t* data, size_t length);

// The fields of the 64 bytes at header.
Header parseHeader(const uint8_t* header);
// CRC-32 of the 64 header bytes with the checksum field taken as 0.
uint32_t computeHeaderCrc(const uint8_t* header);

// Names of the codes ("Linux", "PowerPC", "multi-file", "gzip"); "" for a
// code without one.
std::string osName(uint8_t code);
std::string archName(uint8_t code);
std::string typeName(uint8_t code);
std::string compressionName(uint8_t code);
// "2025-01-07 10:00:00 UTC".
std::string dateText(uint32_t time);

// An image of the type, name (at most 32 bytes) and time stamp around data,
// with data size and both checksums set.
Bytes makeImage(const Bytes& data, uint8_t type, const std::string& name, uint32_t time);
// The data of a multi-file image: the sub-image sizes, a zero word, then
// the sub-images, each padded with zeros to a multiple of 4 bytes.
Bytes multiFileData(const std::vector<Bytes>& subImages);

}  // namespace updimage
