#include "update_image/archive_inspect.h"

#include <cstring>

#include "image/crc32.h"
#include "image/image.h"
#include "image/image_format.h"

namespace updimage {
namespace {

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

void headerProblems(const HeaderReport& h, const std::string& what,
                    std::vector<std::string>* problems) {
  if (!h.complete) {
    problems->push_back(what + " is shorter than its 64-byte header");
    return;
  }
  if (!h.magicGood()) {
    problems->push_back(what + ": bad magic number " + hex32(h.magic) + ", expected " +
                        hex32(imageMagic));
    return;  // nothing else of a foreign header means anything
  }
  if (!h.headerCrcGood())
    problems->push_back(what + ": bad header checksum " + hex32(h.headerCrc) + ", computed " +
                        hex32(h.headerCrcComputed));
  if (!h.sizeGood())
    problems->push_back(what + ": data size " + std::to_string(h.dataSize) + " in the header, " +
                        std::to_string(h.dataPresent) + " bytes after it");
  else if (!h.dataCrcGood())
    problems->push_back(what + ": bad data checksum " + hex32(h.dataCrc) + ", computed " +
                        hex32(h.dataCrcComputed));
}

}  // namespace

HeaderReport examineHeader(const uint8_t* image, size_t length) {
  HeaderReport h;
  if (length < headerSize) return h;
  h.complete = true;
  h.magic = upd::readBe32(image + upd::headerMagicOffset);
  h.headerCrc = upd::readBe32(image + upd::headerCrcOffset);
  uint8_t copy[headerSize];
  std::memcpy(copy, image, headerSize);
  upd::writeBe32(copy + upd::headerCrcOffset, 0);
  h.headerCrcComputed = upd::crc32(copy, headerSize);
  h.word8 = upd::readBe32(image + 8);
  h.dataSize = upd::readBe32(image + upd::headerDataSizeOffset);
  h.word16 = upd::readBe32(image + 16);
  h.word20 = upd::readBe32(image + 20);
  h.dataCrc = upd::readBe32(image + upd::headerDataCrcOffset);
  h.byte28 = image[28];
  h.byte29 = image[29];
  h.imageType = image[upd::headerImageTypeOffset];
  h.byte31 = image[31];
  const char* name = reinterpret_cast<const char*>(image + upd::headerNameOffset);
  h.name.assign(name, strnlen(name, nameSize));
  h.dataPresent = length - headerSize;
  h.dataCrcComputed = upd::crc32(image + headerSize, length - headerSize);
  return h;
}

std::vector<std::string> softwareProblems(const HeaderReport& software, const std::string& what) {
  std::vector<std::string> problems;
  headerProblems(software, what, &problems);
  if (problems.empty() && software.name.compare(0, 5, softwareNamePrefix) != 0)
    problems.push_back(what + ": name \"" + software.name +
                       "\" does not begin with \"Linux\"; the daemon does not write it to flash");
  return problems;
}

ArchiveReport examineArchive(const Bytes& archive) {
  ArchiveReport r;
  r.fileSize = archive.size();
  r.header = examineHeader(archive.data(), archive.size());
  headerProblems(r.header, "archive", &r.problems);
  if (!r.problems.empty()) return r;

  if (r.header.imageType != multiImageType) {
    r.problems.push_back("archive: image type " + std::to_string(r.header.imageType) +
                         " is not a multi-file image (4)");
    return r;
  }
  uint32_t count = upd::countSubImages(archive.data(), archive.size(), &r.tableTerminated);
  if (!r.tableTerminated) {
    r.problems.push_back("archive: the sub-image table has no terminating zero word");
    return r;
  }
  for (uint32_t k = 0; k < count; ++k) {
    SubImageEntry entry;
    entry.size = upd::subImageSize(archive.data(), k);
    entry.offset = upd::subImageOffset(archive.data(), count, k);
    entry.inside = entry.offset + entry.size <= archive.size();
    r.subImages.push_back(entry);
  }
  if (count < 2) {
    r.problems.push_back("archive: " + std::to_string(count) +
                         " sub-images; an update archive needs at least 2 (package and "
                         "software image)");
    return r;
  }
  for (uint32_t k = 0; k < count; ++k)
    if (!r.subImages[k].inside)
      r.problems.push_back("archive: sub-image " + std::to_string(k) + " (" +
                           std::to_string(r.subImages[k].size) + " bytes at offset " +
                           std::to_string(r.subImages[k].offset) + ") lies outside the file of " +
                           std::to_string(r.fileSize) + " bytes");
  if (!r.problems.empty()) return r;

  const SubImageEntry& package = r.subImages[1];
  r.packageIsGzip =
      package.size >= 2 && archive[package.offset] == 0x1F && archive[package.offset + 1] == 0x8B;
  if (!r.packageIsGzip)
    r.problems.push_back("archive: sub-image 1 (the update package) is not gzip data");

  const SubImageEntry& last = r.subImages.back();
  if (last.size < headerSize) {
    r.problems.push_back("archive: the software image (sub-image " + std::to_string(count - 1) +
                         ") holds " + std::to_string(last.size) +
                         " bytes, less than an image header");
    return r;
  }
  r.softwarePresent = true;
  r.software = examineHeader(archive.data() + last.offset, last.size);
  for (const std::string& problem :
       softwareProblems(r.software, "software image (sub-image " + std::to_string(count - 1) + ")"))
    r.problems.push_back(problem);
  return r;
}

Bytes makeImage(const Bytes& data, uint8_t imageType, const std::string& name) {
  Bytes image(headerSize, 0);
  upd::writeBe32(image.data() + upd::headerMagicOffset, imageMagic);
  upd::writeBe32(image.data() + upd::headerDataSizeOffset, static_cast<uint32_t>(data.size()));
  upd::writeBe32(image.data() + upd::headerDataCrcOffset, upd::crc32(data.data(), data.size()));
  image[upd::headerImageTypeOffset] = imageType;
  std::memcpy(image.data() + upd::headerNameOffset, name.data(),
              name.size() < nameSize ? name.size() : nameSize);
  upd::writeBe32(image.data() + upd::headerCrcOffset, upd::crc32(image.data(), headerSize));
  image.insert(image.end(), data.begin(), data.end());
  return image;
}

Bytes multiFileData(const std::vector<Bytes>& subImages) {
  Bytes data(4 * (subImages.size() + 1), 0);
  for (size_t i = 0; i < subImages.size(); ++i)
    upd::writeBe32(data.data() + 4 * i, static_cast<uint32_t>(subImages[i].size()));
  for (const Bytes& sub : subImages) {
    data.insert(data.end(), sub.begin(), sub.end());
    while (data.size() % 4 != 0) data.push_back(0);
  }
  return data;
}

}  // namespace updimage
