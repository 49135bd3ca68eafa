// The update archive: checkHeader accepts an image, and the start request an
// archive, only when an independent check of the harness agrees (magic,
// both CRC-32 sums, data size, and a sub-image table inside the file).
//
// The first input byte is not archive: bit 0 seals the data (size and
// checksum) and bit 1 the header after the mutation, so that the fuzzer gets
// behind the checksums.
#include <cstring>
#include <memory>

#include "archive_builder.h"
#include "fuzz_support.h"
#include "log/log.h"
#include "image/image.h"

namespace {

using testsupport::readBe32;
using testsupport::referenceCrc32;

bool headerGood(const fuzz::Bytes& image) {
  if (image.size() < 64 || readBe32(image, 0) != 0x11092001u) return false;
  fuzz::Bytes header(image.begin(), image.begin() + 64);
  testsupport::writeBe32(header, 4, 0);
  return referenceCrc32(header) == readBe32(image, 4) && readBe32(image, 12) == image.size() - 64 &&
         referenceCrc32(image.data() + 64, image.size() - 64) == readBe32(image, 24);
}

// Non-zero table words before the first zero word; *ended when that word is in the file.
uint32_t tableCount(const fuzz::Bytes& image, bool* ended) {
  uint32_t count = 0;
  *ended = false;
  for (size_t at = 64; at + 4 <= image.size(); at += 4, ++count)
    if (readBe32(image, at) == 0) return *ended = true, count;
  return count;
}

// A multi-file archive whose table ends inside the file, with the package
// (sub-image 1) and the software image (the last, at least a header) inside it.
bool tableGood(const fuzz::Bytes& image) {
  bool ended = false;
  const uint32_t count = tableCount(image, &ended);
  if (image[30] != 4 || !ended || count < 2) return false;
  uint64_t at = 64 + 4 * (static_cast<uint64_t>(count) + 1);
  for (uint32_t k = 0; k < count; ++k) {
    const uint64_t size = readBe32(image, 64 + 4 * k);
    if ((k == 1 || k == count - 1) && at + size > image.size()) return false;
    if (k == count - 1 && size < 64) return false;
    at += (size + 3) & ~uint64_t{3};
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The package never unpacks: the board's /tmp/image1.gz lies on a full file system.
  const testsupport::Sandbox& sandbox = fuzz::board("fs.full = /tmp/image1.gz\n");
  if (size < 1) return 0;
  fuzz::Bytes image(data + 1, data + size);
  if (image.size() >= 64 && (data[0] & 1) != 0) testsupport::resealImage(image);
  if (image.size() >= 64 && (data[0] & 2) != 0) testsupport::resealHeader(image);
  const bool good = headerGood(image);

  // In a buffer of its exact size, so that a read past its end is caught.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[image.size() + 1]);
  if (!image.empty()) std::memcpy(exact.get(), image.data(), image.size());
  char name[upd::imageNameSize + 1];
  uint32_t count = 77;
  const int verdict =
      upd::checkHeader(exact.get(), static_cast<uint32_t>(image.size()), name, &count);
  FUZZ_CHECK(verdict == 1 || verdict == -1);
  FUZZ_CHECK((verdict == 1) == good);
  if (good) {
    bool ended = false;
    FUZZ_CHECK(count == (image[30] == 4 ? tableCount(image, &ended) : 0));
    FUZZ_CHECK(std::memcmp(name, image.data() + 32, 32) == 0 && name[32] == '\0');
  }

  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  sandbox.write(upd::archivePath, image);
  const int start = upd::startUpdate();
  FUZZ_CHECK((start != upd::ARCHIVE_REJECTED) == (good && tableGood(image)));
  FUZZ_CHECK(start == upd::ARCHIVE_REJECTED || start == upd::PACKAGE_NOT_UNPACKED);
  return 0;
}
