// Examination of update archives and software images for update_image: the
// same reading as the daemon's (big-endian fields, the sub-image table, the
// CRC-32), with every finding kept rather than stopping at the first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace updimage {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t imageMagic = 0x11092001u;
constexpr uint8_t multiImageType = 4;
constexpr uint8_t singleImageType = 2;
constexpr size_t headerSize = 64;
constexpr size_t nameSize = 32;
constexpr const char* softwareNamePrefix = "Linux";

struct HeaderReport {
  bool complete = false;  // 64 header bytes present
  uint32_t magic = 0;
  uint32_t headerCrc = 0, headerCrcComputed = 0;
  uint32_t word8 = 0, word16 = 0, word20 = 0;
  uint32_t dataSize = 0;
  uint64_t dataPresent = 0;  // bytes after the header
  uint32_t dataCrc = 0, dataCrcComputed = 0;
  uint8_t byte28 = 0, byte29 = 0, imageType = 0, byte31 = 0;
  std::string name;  // up to 32 bytes, cut at the first NUL
  bool magicGood() const { return magic == imageMagic; }
  bool headerCrcGood() const { return headerCrc == headerCrcComputed; }
  bool sizeGood() const { return dataSize == dataPresent; }
  bool dataCrcGood() const { return sizeGood() && dataCrc == dataCrcComputed; }
};

struct SubImageEntry {
  uint32_t size = 0;
  uint64_t offset = 0;
  bool inside = false;
};

struct ArchiveReport {
  uint64_t fileSize = 0;
  HeaderReport header;
  bool tableTerminated = false;
  std::vector<SubImageEntry> subImages;
  bool softwarePresent = false;  // the last sub-image lies inside and holds a header
  HeaderReport software;
  bool packageIsGzip = false;
  std::vector<std::string> problems;  // empty: the daemon takes the archive
};

HeaderReport examineHeader(const uint8_t* image, size_t length);
// The checks of a software image on its own (header, checksums, name).
std::vector<std::string> softwareProblems(const HeaderReport& software, const std::string& what);
ArchiveReport examineArchive(const Bytes& archive);

// An image of the given type and name around data, with both checksums.
Bytes makeImage(const Bytes& data, uint8_t imageType, const std::string& name);
// Sub-image table, zero word and the sub-images padded to 4 bytes.
Bytes multiFileData(const std::vector<Bytes>& subImages);

}  // namespace updimage
