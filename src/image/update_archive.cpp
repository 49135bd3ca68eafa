// The update archive: its mapping and the place of the software image in it,
// shared with the image writer; and the start request's side: check
// /tmp/image, copy its update package out and unpack it under /tmp.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "image/image_format.h"
#include "image/image_internal.h"
#include "log/log.h"
#include "platform/platform.h"

namespace upd {
namespace {

constexpr size_t pathSize = 64;  // the daemon's fixed working paths
constexpr size_t commandSize = pathSize + 16;
constexpr uint32_t packageIndex = 1;
constexpr const char* operation = "startUpdate";

unsigned long long asULL(uint64_t value) { return static_cast<unsigned long long>(value); }

void logOutside(const char* op, uint32_t index, const char* path, uint64_t size, uint64_t offset,
                size_t length) {
  OPERATION_ERROR(
      op, Critical, 106,
      "sub-image %u of %s (%llu Bytes at offset %llu) lies outside the file of %llu Bytes\n",
      static_cast<unsigned>(index), path, asULL(size), asULL(offset), asULL(length));
}

// The table of a multi-file archive: terminated inside the file, at least
// the package and the software image, the package inside the file.
bool checkArchiveTable(const uint8_t* image, size_t length, const char* path) {
  if (image[headerImageTypeOffset] != IMAGE_TYPE_MULTI) {
    OPERATION_ERROR(operation, Critical, 106, "update archive %s is not a multi-file image\n",
                    path);
    return false;
  }
  bool terminated = false;
  uint32_t count = countSubImages(image, length, &terminated);
  if (!terminated) {
    OPERATION_ERROR(operation, Critical, 106,
                    "sub-image table of %s has no terminating zero word\n", path);
    return false;
  }
  if (count < 2) {
    OPERATION_ERROR(operation, Critical, 106,
                    "update archive %s holds %u sub-images; at least 2 are needed\n", path,
                    static_cast<unsigned>(count));
    return false;
  }
  if (!subImageInside(image, count, packageIndex, length)) {
    logOutside(operation, packageIndex, path, subImageSize(image, packageIndex),
               subImageOffset(image, count, packageIndex), length);
    return false;
  }
  size_t offset = 0;
  uint32_t size = 0;
  return locateSoftwareImage(operation, image, length, count, path, &offset, &size);
}

// The package folder holds the new package only: files of an earlier one
// would be taken for this one's.
bool emptyPackageFolder() {
  char command[commandSize];
  std::snprintf(command, sizeof command, "rm -rf %s", updateDir);
  int status = platform::system(command);
  if (status == 0) return true;
  OPERATION_ERROR(operation, Critical, 107, "couldn't empty %s (status %d)\n", updateDir, status);
  return false;
}

// Writes sub-image 1 to the package file in one write straight from the
// mapping; false when it could not be written whole.
bool writePackage(const uint8_t* image, uint32_t count) {
  platform::UniqueFd package(platform::open(packagePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!package.valid()) {
    OPERATION_ERROR(operation, Critical, 106, "File opening error for file :%s!\n", packagePath);
    return false;
  }
  const uint8_t* start = image + subImageOffset(image, count, packageIndex);
  size_t size = subImageSize(image, packageIndex);
  ssize_t written = platform::write(package.get(), start, size);
  if (written < 0 || static_cast<size_t>(written) != size) {
    int error = written < 0 ? errno : EIO;  // a short write leaves a cut package
    OPERATION_ERROR(operation, Critical, 107, "file %s write error %d %s ret \n", packagePath,
                    error, errorText(error));
    return false;
  }
  return true;
}

// Runs one archive command; a failing one is reported.
bool runArchiveCommand(const char* command) {
  int status = platform::system(command);
  if (status == 0) return true;
  OPERATION_ERROR(operation, Critical, 106,
                  "command \"%s\" failed (status %d): package %s not unpacked\n", command, status,
                  packagePath);
  return false;
}

// " -gunzip" leaves /tmp/image1 beside the removed /tmp/image1.gz; " -tar"
// extracts it under /tmp, where its members land in update.d/. True when
// both did their work.
bool unpackPackage() {
  char tarPath[pathSize];
  size_t length = std::strlen(packagePath);
  std::snprintf(tarPath, sizeof tarPath, "%.*s", static_cast<int>(length - 3), packagePath);
  char command[commandSize];
  std::snprintf(command, sizeof command, " -gunzip %s", packagePath);
  bool unpacked = runArchiveCommand(command);
  platform::chdir("/tmp");
  std::snprintf(command, sizeof command, " -tar xf %s", tarPath);
  if (unpacked) unpacked = runArchiveCommand(command);
  platform::chdir("/");
  std::snprintf(command, sizeof command, " -rm %s", tarPath);
  platform::system(command);
  return unpacked;
}

// Opens the update archive read-only and without blocking; -1 when it does
// not open.
int openArchive(const char* op) {
  int fd = platform::open(archivePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    OPERATION_ERROR(op, Critical, 106, "File opening error for file :%s errno = %d %s \n",
                    archivePath, error, errorText(error));
  }
  return fd;
}

// The archive's size in *size when it is a regular file of at least an
// image header and below 4 GiB.
bool archiveSize(const char* op, int fd, const char* kind, uint32_t* size) {
  struct stat st;
  if (platform::fstat(fd, &st) != 0) {
    OPERATION_ERROR(op, Critical, 106, "couldn't determine size of %s!\n", archivePath);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    OPERATION_ERROR(op, Critical, 106, "%s is not a regular file\n", archivePath);
    return false;
  }
  if (st.st_size < static_cast<off_t>(imageHeaderSize)) {
    OPERATION_ERROR(op, Critical, 106, "%sfile %s to small (%d Bytes) !\n", kind, archivePath,
                    static_cast<int>(st.st_size));
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > UINT32_MAX) {
    OPERATION_ERROR(op, Critical, 106, "%sfile %s too large (%llu Bytes) !\n", kind, archivePath,
                    static_cast<unsigned long long>(st.st_size));
    return false;
  }
  *size = static_cast<uint32_t>(st.st_size);
  return true;
}

}  // namespace

ArchiveMapping::ArchiveMapping(const char* op, const char* kind) : fd_(openArchive(op)) {
  if (!fd_.valid() || !archiveSize(op, fd_.get(), kind, &size_)) return;
  address_ = platform::mmap(size_, PROT_READ, MAP_PRIVATE, fd_.get(), 0);
  if (address_ == MAP_FAILED) {
    int error = errno;
    OPERATION_ERROR(op, Critical, 106, "couldn't map %s into memory errno = %d %s \n",
                    archivePath, error, errorText(error));
  }
}

void ArchiveMapping::release() {
  if (address_ != MAP_FAILED) platform::munmap(address_, size_);
  address_ = MAP_FAILED;
  fd_.close();
}

bool locateSoftwareImage(const char* op, const uint8_t* image, size_t length, uint32_t count,
                         const char* path, size_t* offset, uint32_t* size) {
  uint64_t start = 0;
  uint32_t bytes = 0;
  if (count == 0) {
    // A single image: its size in the word after the header, its bytes
    // from offset 68 on.
    if (length < imageHeaderSize + 4) {
      OPERATION_ERROR(op, Critical, 106,
                      "software image in %s holds %u Bytes; less than an image header\n", path, 0u);
      return false;
    }
    start = imageHeaderSize + 4;
    bytes = readBe32(image + imageHeaderSize);
  } else {
    bool terminated = false;
    if (countSubImages(image, length, &terminated) != count || !terminated) {
      OPERATION_ERROR(op, Critical, 106, "sub-image table of %s has no terminating zero word\n",
                      path);
      return false;
    }
    start = subImageOffset(image, count, count - 1);
    bytes = subImageSize(image, count - 1);
  }
  if (start + bytes > length) {
    logOutside(op, count == 0 ? 0 : count - 1, path, bytes, start, length);
    return false;
  }
  if (bytes < imageHeaderSize) {
    OPERATION_ERROR(op, Critical, 106,
                    "software image in %s holds %u Bytes; less than an image header\n", path,
                    static_cast<unsigned>(bytes));
    return false;
  }
  *offset = static_cast<size_t>(start);
  *size = bytes;
  return true;
}

int startUpdate() {
  ArchiveMapping archive(operation, "");
  if (!archive.valid()) return ARCHIVE_REJECTED;
  const uint32_t size = archive.size();
  OPERATION_INFO(operation, 1, "%s size = %d Bytes \n", archivePath, static_cast<int>(size));

  char name[imageNameSize + 1];
  uint32_t count = 0;
  if (checkHeader(archive.data(), size, name, &count) != 1) return ARCHIVE_REJECTED;
  if (!checkArchiveTable(archive.data(), size, archivePath)) return ARCHIVE_REJECTED;
#if UPDATE_SIGNED_ARCHIVES
  // Nothing of an archive its maker did not sign is unpacked.
  if (!checkArchiveSignature(archive.data(), size, count)) return ARCHIVE_REJECTED;
#endif

  if (!emptyPackageFolder() || !writePackage(archive.data(), count)) return PACKAGE_NOT_UNPACKED;
  archive.release();
  return unpackPackage() ? PACKAGE_UNPACKED : PACKAGE_NOT_UNPACKED;
}

}  // namespace upd
