// Update archive and image header, flash device access and the image writer.
// Image headers are big-endian, assembled byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/archive_signature.h"

namespace upd {

constexpr uint32_t IMAGE_MAGIC = 0x11092001;
constexpr uint8_t IMAGE_TYPE_MULTI = 4;
constexpr size_t imageHeaderSize = 64;
constexpr size_t imageNameSize = 32;
// The image writer writes only a software image whose name begins so.
constexpr const char* softwareNamePrefix = "Linux";

constexpr const char* archivePath = "/tmp/image";
constexpr const char* packagePath = "/tmp/image1.gz";
// The folder the update package is unpacked into; the package's files are
// read from there.
constexpr const char* updateDir = "/tmp/update.d/";
constexpr const char* flashNodePath = "/dev/flash0";

int checkHeader(const uint8_t* image, uint32_t length, char* nameOut /*33 bytes*/,
                uint32_t* countOut);
// The start request's work on the archive: checks /tmp/image and unpacks
// its package into updateDir. Returns the verdict; the caller answers the
// admin side and reads the plan.
constexpr int ARCHIVE_REJECTED = -1;     // no package taken from it
constexpr int PACKAGE_NOT_UNPACKED = 0;  // the archive is good, its package did not unpack
constexpr int PACKAGE_UNPACKED = 1;
int startUpdate();

struct FlashLayout {
  int32_t ppcEnvironStart;
  int32_t ppcEnvironSectorSize;
  int32_t configSectorStart;
  int32_t configSectorSize;
  int32_t imageStart;
  int32_t imageSectorSize;
};
extern FlashLayout flashLayout;
constexpr FlashLayout defaultFlashLayout = {0x4000, 0x2000, 0x1F0000, 0x10000, 0x20000, 0x10000};

int32_t getFlashInfoUpdate();
void checkFlashConfig();
int eraseFlash(uint32_t start, uint32_t length);
int writeFlash(uint32_t offset, const uint8_t* data, uint32_t length);

int writeImage();

}  // namespace upd
