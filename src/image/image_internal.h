// Pieces shared by the archive check and the image writer: owners of the
// descriptors and mappings held for the length of one call (the destructor
// closes or unmaps whatever an early return left), and the location of the
// software image inside an archive.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

#include "log/log.h"
#include "platform/platform.h"

namespace upd {

using UniqueFd = platform::UniqueFd;

// A whole file mapped read-only and private.
class ReadMapping {
 public:
  ReadMapping(int fd, size_t length)
      : length_(length), address_(platform::mmap(length, PROT_READ, MAP_PRIVATE, fd, 0)) {}
  ~ReadMapping() { release(); }
  ReadMapping(const ReadMapping&) = delete;
  ReadMapping& operator=(const ReadMapping&) = delete;

  bool valid() const { return address_ != MAP_FAILED; }
  const uint8_t* data() const { return static_cast<const uint8_t*>(address_); }
  size_t length() const { return length_; }
  void release() {
    if (address_ != MAP_FAILED) platform::munmap(address_, length_);
    address_ = MAP_FAILED;
  }

 private:
  size_t length_;
  void* address_;
};

// Opens the update archive read-only and without blocking: a FIFO or a
// device node there must never stop the daemon. A failure is logged under
// the operation's name; -1 then.
int openArchive(const char* operation);
// The archive's size in *size: it must be a regular file of at least an
// image header and below 4 GiB; otherwise the fault is logged and the result
// is false. kind leads the size messages ("" or "image ").
bool archiveSize(const char* operation, int fd, const char* kind, uint32_t* size);

// Finds the software image of an archive of length bytes whose header check
// gave count sub-images: the last sub-image, or with count 0 the bytes from
// offset 68 with the size in the word at offset 64. It must lie inside the
// archive and hold at least an image header; otherwise the fault is logged
// (Critical, 106, naming path and the operation) and the result is false.
bool locateSoftwareImage(const char* operation, const uint8_t* image, size_t length, uint32_t count,
                         const char* path, size_t* offset, uint32_t* size);

}  // namespace upd
