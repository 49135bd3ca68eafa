// The flash device /dev/flash0: its size, the flash layout derived from it,
// and erasing and writing byte ranges. Each operation opens the node, makes
// its request and closes the node again.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image/image.h"
#include "log/log.h"
#include "platform/device_requests.h"
#include "platform/platform.h"

namespace upd {
namespace {

// Room for the region records of FLASH_GET_REGIONS; a driver that reports
// more regions than this is not asked to fill them.
constexpr uint32_t maxFlashRegions = 32;

// The one erase record, filled immediately before each request.
devreq::FlashEraseRecord eraseRequest;

int openFlash(const char* operation, int mode) {
  int fd = platform::open(flashNodePath, mode | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    OPERATION_ERROR(operation, Critical, 106, "open device_%s in mode_%d failed! errno: %d %s\n",
                    flashNodePath, mode, error, errorText(error));
  }
  return fd;
}

int closeFlash(const char* operation, platform::UniqueFd& device) {
  if (device.close() != 0) {
    int error = errno;
    OPERATION_ERROR(operation, Critical, 106, "close failed errno: %d %s\n", error,
                    errorText(error));
    return -1;
  }
  return 1;
}

void logIoctlFailure(const char* operation, int result) {
  int error = errno;
  OPERATION_ERROR(operation, Critical, 106, "ioctl failed:%d errno: %d %s\n", result, error,
                  errorText(error));
}

}  // namespace

FlashLayout flashLayout = defaultFlashLayout;

int32_t getFlashInfoUpdate() {
  platform::UniqueFd device(openFlash(__func__, O_RDONLY));
  if (!device.valid()) return -1;

  devreq::FlashInfoRecord info;
  std::memset(&info, 0, sizeof info);
  int result =
      platform::ioctl(device.get(), devreq::FLASH_GET_INFO, reinterpret_cast<uintptr_t>(&info));
  if (result < 0) {
    logIoctlFailure(__func__, result);
    return -1;
  }
  uint32_t regionCount = info.words[4];
  if (regionCount > maxFlashRegions) {
    LOG_ERROR(Critical, 106, "flash reports %u regions; room for %u\n",
              static_cast<unsigned>(regionCount), static_cast<unsigned>(maxFlashRegions));
    return -1;
  }
  devreq::FlashRegionRecord regions[maxFlashRegions];
  std::memset(regions, 0, sizeof regions);
  result = platform::ioctl(device.get(), devreq::FLASH_GET_REGIONS,
                           reinterpret_cast<uintptr_t>(regions));
  if (result < 0) {
    logIoctlFailure(__func__, result);
    return -1;
  }
  if (closeFlash(__func__, device) != 1) return -1;
  return static_cast<int32_t>(info.words[0]);
}

void checkFlashConfig() {
  int32_t size = getFlashInfoUpdate();
  if (size > 0) {
    flashLayout.configSectorStart = size - flashLayout.configSectorSize;
    LOG_INFO(1, "Flash size =  %d (0x%06X); LAP config file sector starts at 0x%06X\n",
             static_cast<int>(size), static_cast<unsigned>(size),
             static_cast<unsigned>(flashLayout.configSectorStart));
    LOG_INFO(3, "PPCEnviron starts at 0x%06X sector size 0x%06X; image start at 0x%06X\n",
             static_cast<unsigned>(flashLayout.ppcEnvironStart),
             static_cast<unsigned>(flashLayout.ppcEnvironSectorSize),
             static_cast<unsigned>(flashLayout.imageStart));
  } else {
    LOG_ERROR(Critical, 107, "Flash info not available; can't determine size \n");
  }
}

int eraseFlash(uint32_t start, uint32_t length) {
  platform::UniqueFd device(openFlash(__func__, O_RDONLY));
  if (!device.valid()) return -1;
  eraseRequest.start = start;
  eraseRequest.length = length;
  int result = platform::ioctl(device.get(), devreq::FLASH_ERASE,
                               reinterpret_cast<uintptr_t>(&eraseRequest));
  if (result < 0) {
    logIoctlFailure(__func__, result);
    return -1;
  }
  return closeFlash(__func__, device);
}

int writeFlash(uint32_t offset, const uint8_t* data, uint32_t length) {
  platform::UniqueFd device(openFlash(__func__, O_RDWR));
  if (!device.valid()) return -1;
  if (platform::lseek(device.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
    int error = errno;
    LOG_ERROR(Critical, 106, "lseek failed errno: %d %s\n", error, errorText(error));
    return -1;
  }
  ssize_t written = platform::write(device.get(), data, length);
  if (written <= 0) {
    int error = errno;
    LOG_ERROR(Critical, 106, "write failed errno: %d %s\n", error, errorText(error));
    return -1;
  }
  LOG_INFO(3, "%d bytes written at 0x%X\n", static_cast<int>(written),
           static_cast<unsigned>(offset));
  if (static_cast<size_t>(written) < length) {
    // The rest of the range holds whatever it held before: not an image.
    LOG_ERROR(Critical, 106, "short write: %d of %u bytes stored at 0x%X\n",
              static_cast<int>(written), static_cast<unsigned>(length),
              static_cast<unsigned>(offset));
    return -1;
  }
  return closeFlash(__func__, device);
}

}  // namespace upd
