// Pieces shared by the archive check and the image writer: the archive's
// mapping, held for the length of one call (the destructor unmaps and closes
// whatever an early return left), and the location of the software image
// inside an archive.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace upd {

// The update archive mapped whole, read-only and private. It is opened
// without blocking (a FIFO or a device node there must never stop the
// daemon) and must be a regular file of at least an image header and below
// 4 GiB. Each fault is logged under the operation's name; kind leads the
// size messages ("" or "image ").
class ArchiveMapping {
 public:
  ArchiveMapping(const char* operation, const char* kind);
  ~ArchiveMapping() { release(); }
  ArchiveMapping(const ArchiveMapping&) = delete;
  ArchiveMapping& operator=(const ArchiveMapping&) = delete;

  bool opened() const { return fd_.valid(); }  // false: the archive did not even open
  bool valid() const { return address_ != MAP_FAILED; }
  const uint8_t* data() const { return static_cast<const uint8_t*>(address_); }
  uint32_t size() const { return size_; }
  // Unmaps and closes now.
  void release();

 private:
  platform::UniqueFd fd_;
  uint32_t size_ = 0;
  void* address_ = MAP_FAILED;
};

// Finds the software image of an archive of length bytes whose header check
// gave count sub-images: the last sub-image, or with count 0 the bytes from
// offset 68 with the size in the word at offset 64. It must lie inside the
// archive and hold at least an image header; otherwise the fault is logged
// (Critical, 106, naming path and the operation) and the result is false.
bool locateSoftwareImage(const char* operation, const uint8_t* image, size_t length, uint32_t count,
                         const char* path, size_t* offset, uint32_t* size);

}  // namespace upd
