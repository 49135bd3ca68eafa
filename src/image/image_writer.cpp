// Writes the software image, the last sub-image of /tmp/image, into the
// flash from imageStart on, with its progress at the end of the status file.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "file_util/file_util.h"
#include "image/image.h"
#include "image/image_internal.h"
#include "log/log.h"
#include "platform/platform.h"

namespace upd {
namespace {

constexpr size_t progressSize = 12;  // "%3d percent "
constexpr const char* operation = "writeImage";

void showProgress(int percent) {
  char text[progressSize + 1];
  std::snprintf(text, sizeof text, "%3d percent ", percent);
  showProgressFigure(text, progressSize);
}

// The share written so far, in whole percent cut toward zero. In 32 bits
// (the device has no 64-bit division): an image too large for written * 100
// to fit is counted in coarser units, which moves a figure by one at most.
int percentWritten(uint32_t written, uint32_t size) {
  while (size > UINT32_MAX / 100) {
    size >>= 1;
    written >>= 1;
  }
  return static_cast<int>(written * 100 / size);
}

// The header's sector, erased before: the bytes after the 64-byte header
// first, then the header alone. A write cut short by a power loss can then
// leave a good header only over a sector whose other bytes are all in.
int writeHeaderSector(uint32_t sector, const uint8_t* image, uint32_t length) {
  if (length > imageHeaderSize &&
      writeFlash(sector + static_cast<uint32_t>(imageHeaderSize), image + imageHeaderSize,
                 length - static_cast<uint32_t>(imageHeaderSize)) != 1)
    return -1;
  return writeFlash(sector, image, length < imageHeaderSize ? length : imageHeaderSize);
}

// The sector at imageStart holds the image's header, so it is erased first
// and written last, the header itself in the very last request: until then
// the image area holds the old image (nothing changed yet) or no valid
// header at all, never a valid header over bytes that are not all written. The other sectors go in
// their order; besides the header's sector only the sector of the last chunk
// is erased (the driver handles full chunks itself). The progress figure of
// the n-th write is that of the n-th sector in address order (n full chunks
// done), so the figures run as for writing in address order; the log line
// gives the bytes really missing. The writing stops at the first refused
// request.
int writeSectors(const uint8_t* image, uint32_t size) {
  appendProgressFigure("  0 percent ", progressSize);
  const uint32_t chunk = static_cast<uint32_t>(flashLayout.configSectorSize);
  const uint32_t count = (size + chunk - 1) / chunk;
  uint32_t written = 0;
  for (uint32_t n = 0; n < count; ++n) {
    const uint32_t index = (n + 1) % count;  // 1, 2, ..., count - 1, then 0
    const int64_t sector =
        flashLayout.imageStart + static_cast<int64_t>(index) * flashLayout.imageSectorSize;
    if (sector >= flashLayout.configSectorStart) return -1;
    const uint32_t offset = index * chunk;
    const uint32_t length = size - offset < chunk ? size - offset : chunk;
    const int percent = percentWritten(n * chunk, size);
    OPERATION_INFO(operation, 1, "writing sector %06X to flash; missing %08d Bytes; %3d%%\n",
                   static_cast<unsigned>(sector), static_cast<int>(size - written), percent);
    showProgress(percent);
    if (n == 0 && eraseFlash(static_cast<uint32_t>(flashLayout.imageStart),
                             static_cast<uint32_t>(flashLayout.imageSectorSize)) != 1)
      return -1;
    if (index != 0 && index == count - 1 &&
        eraseFlash(static_cast<uint32_t>(sector),
                   static_cast<uint32_t>(flashLayout.imageSectorSize)) != 1)
      return -1;
    if (index == 0 ? writeHeaderSector(static_cast<uint32_t>(sector), image, length) != 1
                   : writeFlash(static_cast<uint32_t>(sector), image + offset, length) != 1)
      return -1;
    written += length;
  }
  showProgressFigure("100 percent ", progressSize);
  return 1;
}

int writeFromArchive(const uint8_t* archive, uint32_t size) {
  char name[imageNameSize + 1];
  uint32_t count = 0;
  if (checkHeader(archive, size, name, &count) != 1) count = 0;

  size_t offset = 0;
  uint32_t imageSize = 0;
  if (!locateSoftwareImage(operation, archive, size, count, archivePath, &offset, &imageSize))
    return -1;
  const int32_t space = flashLayout.configSectorStart - flashLayout.imageStart;
  OPERATION_INFO(operation, 1, "write lap image with %d Bytes to %d Bytes flash\n",
                 static_cast<int>(imageSize), static_cast<int>(space));

  const uint8_t* image = archive + offset;
  if (checkHeader(image, imageSize, name, &count) != 1) return -1;
  // A wrong image in the flash leaves the board unable to start.
  if (std::strncmp(name, softwareNamePrefix, std::strlen(softwareNamePrefix)) != 0) {
    OPERATION_ERROR(operation, Critical, 106,
                    "software image \"%s\" is not a Linux image; flash not written\n", name);
    return -1;
  }
  if (static_cast<int64_t>(imageSize) >= static_cast<int64_t>(space)) {
    OPERATION_ERROR(operation, Critical, 106,
                    "Not enough space (%d Bytes) in flash to write lap image with %d Bytes!\n",
                    static_cast<int>(space), static_cast<int>(imageSize));
    return -1;
  }
#if UPDATE_SIGNED_ARCHIVES
  // The archive may have been replaced since the start request: only the
  // software image verified then is written.
  if (!checkVerifiedSoftware(image, imageSize)) return -1;
#endif
  return writeSectors(image, imageSize);
}

}  // namespace

int writeImage() {
  int result = -1;
  {
    ArchiveMapping archive(operation, "image ");
    if (!archive.opened()) return -1;
    if (archive.valid()) result = writeFromArchive(archive.data(), archive.size());
  }
  // The archive goes whatever became of it; a further attempt needs a new one.
  char command[64];
  std::snprintf(command, sizeof command, " -rm %s", archivePath);
  platform::system(command);
  return result;
}

}  // namespace upd
