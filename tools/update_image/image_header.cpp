// The image header's fields and the image builders; see image_header.h.
#include "update_image/image_header.h"

#include <zlib.h>

#include <cstring>
#include <ctime>

#include "image/image_format.h"
#include "update_image/daemon_facts.h"

namespace updimage {
namespace {

// Offsets of the fields the daemon does not examine.
constexpr size_t timeOffset = 8;
constexpr size_t loadOffset = 16;
constexpr size_t entryOffset = 20;
constexpr size_t osOffset = 28;
constexpr size_t archOffset = 29;
constexpr size_t compressionOffset = 31;

}  // namespace

uint32_t crcUpdate(uint32_t crc, const uint8_t* data, size_t length) {
  uLong value = crc;
  while (length > 0) {
    const uInt piece = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
    value = ::crc32(value, data, piece);
    data += piece;
    length -= piece;
  }
  return static_cast<uint32_t>(value);
}

Header parseHeader(const uint8_t* header) {
  Header h;
  h.magic = upd::readBe32(header + upd::headerMagicOffset);
  h.headerCrc = upd::readBe32(header + upd::headerCrcOffset);
  h.time = upd::readBe32(header + timeOffset);
  h.dataSize = upd::readBe32(header + upd::headerDataSizeOffset);
  h.load = upd::readBe32(header + loadOffset);
  h.entry = upd::readBe32(header + entryOffset);
  h.dataCrc = upd::readBe32(header + upd::headerDataCrcOffset);
  h.os = header[osOffset];
  h.arch = header[archOffset];
  h.type = header[upd::headerImageTypeOffset];
  h.compression = header[compressionOffset];
  const char* name = reinterpret_cast<const char*>(header + upd::headerNameOffset);
  h.name.assign(name, strnlen(name, nameSize));
  return h;
}

uint32_t computeHeaderCrc(const uint8_t* header) {
  uint8_t copy[headerSize];
  std::memcpy(copy, header, headerSize);
  upd::writeBe32(copy + upd::headerCrcOffset, 0);
  return crcUpdate(0, copy, headerSize);
}

std::string osName(uint8_t code) { return code == osLinux ? "Linux" : ""; }
std::string archName(uint8_t code) { return code == archPowerPC ? "PowerPC" : ""; }

std::string typeName(uint8_t code) {
  if (code == multiImageType) return "multi-file";
  if (code == singleImageType) return "single image";
  return "";
}

std::string compressionName(uint8_t code) {
  switch (code) {
    case 0:
      return "none";
    case 1:
      return "gzip";
    case 2:
      return "bzip2";
    default:
      return "";
  }
}

std::string dateText(uint32_t time) {
  std::time_t t = static_cast<std::time_t>(time);
  struct tm parts;
  char text[32];
  if (::gmtime_r(&t, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
    return "";
  return text;
}

Bytes makeImage(const Bytes& data, uint8_t type, const std::string& name, uint32_t time) {
  Bytes image(headerSize, 0);
  uint8_t* h = image.data();
  upd::writeBe32(h + upd::headerMagicOffset, imageMagic);
  upd::writeBe32(h + timeOffset, time);
  upd::writeBe32(h + upd::headerDataSizeOffset, static_cast<uint32_t>(data.size()));
  upd::writeBe32(h + upd::headerDataCrcOffset, crcUpdate(0, data.data(), data.size()));
  h[osOffset] = osLinux;
  h[archOffset] = archPowerPC;
  h[upd::headerImageTypeOffset] = type;
  h[compressionOffset] = compressionNone;
  std::memcpy(h + upd::headerNameOffset, name.data(),
              name.size() < nameSize ? name.size() : nameSize);
  upd::writeBe32(h + upd::headerCrcOffset, computeHeaderCrc(h));
  image.insert(image.end(), data.begin(), data.end());
  return image;
}

Bytes multiFileData(const std::vector<Bytes>& subImages) {
  Bytes data(4 * (subImages.size() + 1), 0);
  for (size_t i = 0; i < subImages.size(); ++i)
    upd::writeBe32(data.data() + 4 * i, static_cast<uint32_t>(subImages[i].size()));
  for (const Bytes& sub : subImages) {
    data.insert(data.end(), sub.begin(), sub.end());
    data.resize(upd::roundUp4(data.size()), 0);
  }
  return data;
}

}  // namespace updimage
