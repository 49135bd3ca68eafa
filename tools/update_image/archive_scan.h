// The deep check of an update archive, read once from start to end in
// pieces: the archive header and both checksums, the sub-image table, the
// package unpacked on the way (gzip, tar, then the package check) and the
// software image with its own header, name and size. Memory stays a few
// buffers whatever the file's size, and a bad magic ends the reading at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update_image/image_header.h"
#include "update_image/package_check.h"
#include "update_image/signature.h"

namespace updimage {

// One image's header and checksums.
struct ImageReport {
  bool complete = false;  // the 64 header bytes are there
  Header header;
  uint32_t headerCrcComputed = 0;
  uint64_t dataPresent = 0;  // bytes after the header
  uint32_t dataCrcComputed = 0;

  bool magicGood() const;
  bool headerCrcGood() const { return header.headerCrc == headerCrcComputed; }
  bool sizeGood() const { return header.dataSize == dataPresent; }
  bool dataCrcGood() const { return sizeGood() && header.dataCrc == dataCrcComputed; }
};

struct SubImage {
  uint32_t size = 0;
  uint64_t offset = 0;
  bool inside = false;  // lies wholly inside the file
  std::string role;     // what the daemon does with it ("" for nothing)
};

// The header and checksums of an image held in memory.
ImageReport examineImage(const uint8_t* image, size_t length);

// Flash sizes (bytes) a software image is judged against.
using FlashSizes = std::vector<uint64_t>;

// The checks of a software image: its header and checksums, some data,
// a name beginning "Linux", a size that fits the image area of at least one
// of the flash sizes (imageSize: the whole image, header included).
void checkSoftwareImage(const ImageReport& image, const FlashSizes& flashSizes,
                        const std::string& what, Findings* findings);
// The size check alone, for an image of size bytes, header included.
void checkImageSize(uint64_t size, const FlashSizes& flashSizes, const std::string& what,
                    Findings* findings);

// Receives what extract writes: the package's regular files with their
// modes, and the software image's bytes.
class ExtractTarget {
 public:
  virtual ~ExtractTarget() = default;
  virtual void beginFile(const std::string& name, uint32_t mode) = 0;
  virtual void fileData(const uint8_t* bytes, size_t length) = 0;
  virtual void softwareData(const uint8_t* bytes, size_t length) = 0;
};

struct ArchiveReport {
  uint64_t fileSize = 0;
  ImageReport archive;
  bool multiFile = false;
  bool tableTerminated = false;
  std::vector<SubImage> subImages;
  bool softwarePresent = false;  // for a single image: the file itself
  ImageReport software;
  bool packageRead = false;  // the package was unpacked whole
  uint64_t packageUnpacked = 0;
  PackageReport package;
  Findings findings;  // file: "" the archive, "software image", "update.d/NAME"
  bool signaturesExamined = false;  // the table is good: the signature sub-images were read
  SignatureReport signature;
};

// Reads the archive at path; with imageAllowed a single software image is
// taken as it is rather than refused as no archive. False and *error (the
// path and the system's reason) when it cannot be read.
bool scanArchiveFile(const std::string& path, const FlashSizes& flashSizes, ExtractTarget* extract,
                     bool imageAllowed, ArchiveReport* report, std::string* error);
// The same over bytes in memory.
ArchiveReport scanArchiveBytes(const Bytes& archive, const FlashSizes& flashSizes);

}  // namespace updimage
