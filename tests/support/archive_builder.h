// Builds update archives and software images in memory for the tests, with
// a CRC-32 of its own (bit by bit) so that the daemon's checksum is checked
// against an independent computation.
//
// An image is a 64-byte big-endian header (magic 0x11092001, header CRC,
// data size, data CRC, image type at byte 30, name at bytes 32..63) and the
// data. A multi-file image (type 4) carries a table of sub-image sizes ended
// by a zero word, then the sub-images, each padded to 4 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

uint32_t referenceCrc32(const uint8_t* data, size_t length);
inline uint32_t referenceCrc32(const Bytes& data) {
  return referenceCrc32(data.data(), data.size());
}

uint32_t readBe32(const Bytes& bytes, size_t offset);
void writeBe32(Bytes& bytes, size_t offset, uint32_t value);

// An image of the given type and name (at most 32 bytes are kept) around
// data, with data size and both checksums right.
Bytes makeImage(const Bytes& data, uint8_t imageType, const std::string& name);
// A software image for the flash: a single image (type 2) around the bytes.
Bytes wrapImage(const Bytes& software, const std::string& name = "Linux LAP software");
// The data area of a multi-file image: the table, its zero word, and the
// sub-images each padded with zeros to a multiple of 4 bytes.
Bytes multiFileData(const std::vector<Bytes>& subImages);
// The update archive: sub-image 0 a short text, sub-image 1 the package
// (gzip-compressed tar), sub-image 2 the software image, which must already
// carry its own header (see wrapImage).
Bytes buildArchive(const Bytes& package, const Bytes& softwareImage,
                   const std::string& name = "LAP update archive");

// After patching header bytes: recompute the header checksum.
void resealHeader(Bytes& image);
// After patching data bytes: recompute data size, data checksum and header
// checksum.
void resealImage(Bytes& image);

// A gzip-compressed tar archive with the files under "update.d/", made with
// tar and gzip through the shell. File names must be plain names. A file
// whose content is fifoEntry becomes a FIFO, one of symlinkEntry + TARGET a
// symbolic link to TARGET.
inline const std::string fifoEntry = std::string("\0fifo", 5);
inline const std::string symlinkEntry = std::string("\0link:", 6);
Bytes makePackage(const std::map<std::string, std::string>& files);

// The files of the example update package (examples/package/, with the
// board's download tool sim/dfu_sim as "dfu"), by name.
std::map<std::string, std::string> examplePackage();
// An update archive of the package and a software image of 196,708 bytes
// named "Linux skq 1.1.0".
Bytes exampleArchive(const std::map<std::string, std::string>& package = examplePackage());

// Pseudo-random bytes of the given length, the same for the same seed.
Bytes patternBytes(size_t length, uint32_t seed = 1);

}  // namespace testsupport
