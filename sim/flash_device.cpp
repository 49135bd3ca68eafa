// Virtual flash /dev/flash0 of the simulated board.
//
// The flash content lives in board/flash0.bin of the sandbox, so a person or
// a test can read what was written. A missing file is created filled with
// 0xFF (erased flash). Every erase and every write that stores bytes adds a
// line to board/flash.log:
//   erase 0x050000 0x10000     (start, length)
//   write 0x020000 65536       (offset, bytes stored)
//
// Its board settings are the flash.* rows of boardSettings (board_settings.cpp).
//
// Requests (numbers from platform/device_requests.h; records in the board's
// native byte order):
//   FLASH_GET_INFO      words: 0 size, 1 erase sector size (0x10000),
//                       2 sector count, 3 0, 4 region count, 5 0
//   FLASH_GET_REGIONS   one 12-byte record per region: offset, sector size,
//                       sector count (the flash split evenly)
//   FLASH_ERASE         sets [start, start + length) to 0xFF; a range outside
//                       the flash fails with EINVAL
// A seek and a write store bytes at that offset; a write running past the end
// stores what fits, one starting at or past the end fails with ENOSPC. Reads
// return the content, so the node can be read back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/device_requests.h"
#include "sim/devices.h"
#include "sim/power_cut.h"

namespace sim {
namespace {

constexpr long defaultFlashSize = 0x200000;
constexpr uint32_t eraseSectorSize = 0x10000;
constexpr size_t fillBlockSize = 0x10000;

void logOperation(const char* kind, unsigned long offset, const char* amount) {
  FILE* log = std::fopen(boardPath("flash.log").c_str(), "a");
  if (log == nullptr) return;
  std::fprintf(log, "%s 0x%06lx %s\n", kind, offset, amount);
  std::fclose(log);
}

// Writes length bytes of 0xFF at offset; false when the file refuses.
bool fillErased(int fd, off_t offset, uint64_t length) {
  static uint8_t erased[fillBlockSize];
  static bool filled = false;
  if (!filled) {
    std::memset(erased, 0xFF, sizeof erased);
    filled = true;
  }
  while (length > 0) {
    size_t piece = length < fillBlockSize ? static_cast<size_t>(length) : fillBlockSize;
    ssize_t written = ::pwrite(fd, erased, piece, offset);
    if (written <= 0) return false;
    offset += written;
    length -= static_cast<uint64_t>(written);
  }
  return true;
}

// Opens board/flash0.bin, creating it erased when it does not exist.
int openBacking(int* error) {
  std::string path = boardPath("flash0.bin");
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) return fd;
  if (errno != ENOENT) {
    *error = errno;
    return -1;
  }
  long size = settingInt("flash.size", defaultFlashSize);
  if (size < 0) size = 0;
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 || !fillErased(fd, 0, static_cast<uint64_t>(size))) {
    *error = errno != 0 ? errno : EIO;
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

bool inRange(uint64_t start, uint64_t length, long point) {
  return point >= 0 && static_cast<uint64_t>(point) >= start &&
         static_cast<uint64_t>(point) < start + length;
}

// A power cut at this write or erase (power.cut): nothing of it is done, or
// with ":torn" its first half (done(half), which gives the bytes it stored),
// and the board goes down.
template <typename Done>
void cutPowerAt(power::Event event, const char* kind, uint64_t offset, uint64_t length,
                Done done) {
  power::At at = power::count(event);
  if (at == power::At::goesOn) return;
  const uint64_t half = at == power::At::cutHalfway ? length / 2 : 0;
  const uint64_t stored = half > 0 ? done(static_cast<size_t>(half)) : 0;
  char what[128];
  std::snprintf(what, sizeof what, "the %s of 0x%llx bytes at 0x%06llx of /dev/flash0, 0x%llx of them done",
                kind, static_cast<unsigned long long>(length), static_cast<unsigned long long>(offset),
                static_cast<unsigned long long>(stored));
  logOperation(kind, static_cast<unsigned long>(offset), "cut by the power loss");
  power::cut(what);
}

class FlashDevice : public Device {
 public:
  explicit FlashDevice(int fd) : fd_(fd) {}
  ~FlashDevice() override { ::close(fd_); }
  FlashDevice(const FlashDevice&) = delete;
  FlashDevice& operator=(const FlashDevice&) = delete;

  ssize_t read(void* buf, size_t n) override {
    ssize_t got = ::pread(fd_, buf, n, position_);
    if (got > 0) position_ += got;
    return got;
  }

  ssize_t write(const void* buf, size_t n) override {
    uint64_t size = flashSize();
    if (n == 0) return 0;
    if (static_cast<uint64_t>(position_) >= size) {
      errno = ENOSPC;
      return -1;
    }
    uint64_t fits = size - static_cast<uint64_t>(position_);
    size_t length = n < fits ? n : static_cast<size_t>(fits);
    if (inRange(static_cast<uint64_t>(position_), length, settingInt("flash.write_fails_at", -1))) {
      errno = EIO;
      return -1;
    }
    if (settingOn("flash.short_write")) length /= 2;
    if (length == 0) return 0;
    cutPowerAt(power::Event::flashWrite, "write", static_cast<uint64_t>(position_), length,
               [this, buf](size_t half) -> uint64_t {
                 const ssize_t stored = ::pwrite(fd_, buf, half, position_);
                 return stored > 0 ? static_cast<uint64_t>(stored) : 0;
               });
    ssize_t written = ::pwrite(fd_, buf, length, position_);
    if (written < 0) return -1;
    logOperation("write", static_cast<unsigned long>(position_), std::to_string(written).c_str());
    position_ += written;
    return written;
  }

  off_t lseek(off_t offset, int whence) override {
    off_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? position_
                 : whence == SEEK_END ? static_cast<off_t>(flashSize())
                                      : -1;
    if (base < 0 || base + offset < 0) {
      errno = EINVAL;
      return -1;
    }
    position_ = base + offset;
    return position_;
  }

  int ioctl(unsigned long request, uintptr_t arg) override {
    if (request == devreq::FLASH_GET_INFO) return getInfo(arg);
    if (request == devreq::FLASH_GET_REGIONS) return getRegions(arg);
    if (request == devreq::FLASH_ERASE) return erase(arg);
    errno = ENOTTY;
    return -1;
  }

 private:
  uint64_t flashSize() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
  }

  static uint32_t regionCount() {
    long count = settingInt("flash.regions", 1);
    return count < 0 ? 0u : static_cast<uint32_t>(count);
  }

  int getInfo(uintptr_t arg) {
    if (settingOn("flash.info_fails")) {
      errno = EIO;
      return -1;
    }
    uint64_t size = flashSize();
    devreq::FlashInfoRecord info = {};
    info.words[0] = static_cast<uint32_t>(size);
    info.words[1] = eraseSectorSize;
    info.words[2] = static_cast<uint32_t>(size / eraseSectorSize);
    info.words[4] = regionCount();
    std::memcpy(reinterpret_cast<void*>(arg), &info, sizeof info);
    return 0;
  }

  int getRegions(uintptr_t arg) {
    if (settingOn("flash.regions_fails")) {
      errno = EIO;
      return -1;
    }
    uint32_t count = regionCount();
    uint64_t size = flashSize();
    auto* out = reinterpret_cast<uint8_t*>(arg);
    for (uint32_t i = 0; i < count; ++i) {
      devreq::FlashRegionRecord region = {};
      region.words[0] = static_cast<uint32_t>(size / count * i);
      region.words[1] = eraseSectorSize;
      region.words[2] = static_cast<uint32_t>(size / count / eraseSectorSize);
      std::memcpy(out + sizeof region * i, &region, sizeof region);
    }
    return 0;
  }

  int erase(uintptr_t arg) {
    devreq::FlashEraseRecord request;
    std::memcpy(&request, reinterpret_cast<const void*>(arg), sizeof request);
    uint64_t start = request.start;
    uint64_t length = request.length;
    if (start + length > flashSize()) {
      errno = EINVAL;
      return -1;
    }
    if (inRange(start, length, settingInt("flash.erase_fails_at", -1))) {
      errno = EIO;
      return -1;
    }
    cutPowerAt(power::Event::flashErase, "erase", start, length,
               [this, start](size_t half) -> uint64_t {
                 return fillErased(fd_, static_cast<off_t>(start), half) ? half : 0;
               });
    if (!fillErased(fd_, static_cast<off_t>(start), length)) return -1;
    char amount[32];
    std::snprintf(amount, sizeof amount, "0x%llx", static_cast<unsigned long long>(length));
    logOperation("erase", static_cast<unsigned long>(start), amount);
    return 0;
  }

  int fd_;
  off_t position_ = 0;
};

}  // namespace

std::unique_ptr<Device> openFlashDevice(int, int* error) {
  if (settingOn("flash.missing")) {
    *error = ENOENT;
    return nullptr;
  }
  int fd = openBacking(error);
  if (fd < 0) return nullptr;
  return std::make_unique<FlashDevice>(fd);
}

}  // namespace sim
