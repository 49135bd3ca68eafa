// The update archive: checkHeader accepts an image, and the start request an
// archive, only when an independent check agrees (magic, both CRC-32 sums,
// data size; a sub-image table inside the file). Bits 0 and 1 of the first
// input byte reseal data and header after the mutation, to get the fuzzer
// behind the checksums; the rest is the archive.
#include <cstring>
#include <memory>

#include "archive_builder.h"
#include "fuzz_support.h"
#include "image/image.h"
#include "log/log.h"

namespace {

using testsupport::readBe32;

bool headerGood(const fuzz::Bytes& image) {
  if (image.size() < 64 || readBe32(image, 0) != 0x11092001u) return false;
  fuzz::Bytes header(image.begin(), image.begin() + 64);
  testsupport::writeBe32(header, 4, 0);
  return testsupport::referenceCrc32(header) == readBe32(image, 4) &&
         readBe32(image, 12) == image.size() - 64 &&
         testsupport::referenceCrc32(image.data() + 64, image.size() - 64) == readBe32(image, 24);
}

// Table words before the first zero word; *ended when that word is in the file.
uint32_t tableCount(const fuzz::Bytes& image, bool* ended) {
  uint32_t count = 0;
  for (size_t at = 64; at + 4 <= image.size() && !(*ended = readBe32(image, at) == 0); at += 4)
    ++count;
  return count;
}

// A multi-file archive whose table ends in the file, with the package
// (sub-image 1) and the software image (the last, at least a header) inside.
bool tableGood(const fuzz::Bytes& image) {
  bool ended = false;
  const uint32_t count = tableCount(image, &ended);
  if (image[30] != 4 || !ended || count < 2) return false;
  uint64_t at = 64 + 4 * (uint64_t{count} + 1);
  for (uint32_t k = 0; k < count; at += (readBe32(image, 64 + 4 * k) + 3ull) & ~3ull, ++k) {
    const uint64_t end = at + readBe32(image, 64 + 4 * k);
    if ((k == 1 || k == count - 1) && end > image.size()) return false;
    if (k == count - 1 && end - at < 64) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The package is never unpacked: /tmp/image1.gz lies on a full file system.
  const testsupport::Sandbox& sandbox = fuzz::board("fs.full = /tmp/image1.gz\n");
  if (size < 1) return 0;
  fuzz::Bytes image(data + 1, data + size);
  if (image.size() >= 64 && (data[0] & 1) != 0) testsupport::resealImage(image);
  if (image.size() >= 64 && (data[0] & 2) != 0) testsupport::resealHeader(image);
  const bool good = headerGood(image);
  std::unique_ptr<uint8_t[]> exact(new uint8_t[image.size() + 1]);  // a read past it is caught
  std::copy(image.begin(), image.end(), exact.get());
  char name[upd::imageNameSize + 1];
  uint32_t count = 77;
  bool ended = false;
  const int verdict =
      upd::checkHeader(exact.get(), static_cast<uint32_t>(image.size()), name, &count);
  FUZZ_CHECK(verdict == (good ? 1 : -1));
  FUZZ_CHECK(!good || count == (image[30] == 4 ? tableCount(image, &ended) : 0));
  FUZZ_CHECK(!good || (std::memcmp(name, &image[32], 32) == 0 && name[32] == '\0'));

  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  sandbox.write(upd::archivePath, image);
  const int start = upd::startUpdate();
  FUZZ_CHECK(start ==
             (good && tableGood(image) ? upd::PACKAGE_NOT_UNPACKED : upd::ARCHIVE_REJECTED));
  return 0;
}
