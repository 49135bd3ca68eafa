// What the daemon does with each part of an update archive, as update_image
// needs to know it: every value is taken from the daemon's headers; what is
// here only names it for the tool or derives from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "bt_module/bt_module.h"
#include "child_process/child_process.h"
#include "image/image.h"
#include "pskey_files/pskey_files.h"
#include "sequencer/sequencer.h"

namespace updimage {

constexpr uint32_t imageMagic = upd::IMAGE_MAGIC;
constexpr uint8_t multiImageType = upd::IMAGE_TYPE_MULTI;
constexpr size_t headerSize = upd::imageHeaderSize;
constexpr size_t nameSize = upd::imageNameSize;
// The image writer writes only a software image whose name begins so.
constexpr const char* softwareNamePrefix = upd::softwareNamePrefix;

// The name of a package file: a daemon path below the package folder
// without that folder ("/tmp/update.d/VERSION" -> "VERSION").
inline std::string packageFileName(const char* daemonPath) {
  return std::string(daemonPath).substr(std::string(upd::updateDir).size());
}
// Package members are named relative to /tmp: "update.d/" and the file name.
inline std::string packageMemberPrefix() {
  std::string folder = upd::updateDir;  // "/tmp/update.d/"
  return folder.substr(folder.rfind('/', folder.size() - 2) + 1);
}

// The daemon's step table without its terminating row: each step's number,
// its key in updatetodo.txt and the part whose version decides whether the
// step runs.
using StepKey = upd::UpdateStep;
struct StepTable {
  const StepKey* begin() const { return upd::updateSteps; }
  const StepKey* end() const { return upd::updateSteps + std::size(upd::updateSteps) - 1; }
};
constexpr StepTable stepKeys{};
constexpr size_t planMaxSteps = upd::planMaxSteps;
// The daemon reads the plan and key files in pieces of at most this many
// characters.
constexpr size_t daemonLineLength = upd::lineReadSize - 1;
static_assert(daemonLineLength == upd::psrLineSize - 2, "plan and key files read alike");

// Keys of the version files; the version check takes only the software
// version from the package's VERSION.
constexpr const char* versionKeys[] = {upd::firmwarePartKey, upd::pskeyPartKey,
                                       upd::softwarePartKey};
constexpr const char* softwareVersionKey = upd::softwarePartKey;
// The new firmware and configuration versions ride in two PS-keys of
// pskeyorig.psr, with at least so many words.
constexpr const char* firmwareVersionKey = upd::firmwareVersionKeyPrefix;
constexpr size_t firmwareVersionMinWords = upd::firmwareVersionMinWords;
constexpr const char* configVersionKey = upd::configVersionKeyPrefix;
constexpr size_t configVersionMinWords = upd::configVersionMinWords;

constexpr size_t psKeyMaxWords = upd::psKeyMaxWords;

// The software image may occupy [imageStart, flash size - configSectorSize);
// the writer refuses an image as large as that area or larger.
inline uint64_t imageAreaOf(uint64_t flashSize) {
  const uint64_t reserved = static_cast<uint64_t>(upd::defaultFlashLayout.imageStart) +
                            static_cast<uint64_t>(upd::defaultFlashLayout.configSectorSize);
  return flashSize > reserved ? flashSize - reserved : 0;
}
inline bool fitsFlash(uint64_t imageSize, uint64_t flashSize) {
  return imageSize < imageAreaOf(flashSize);
}
// The flash size the daemon assumes when the flash cannot tell its own.
constexpr uint64_t defaultFlashSize =
    static_cast<uint64_t>(upd::defaultFlashLayout.configSectorStart) +
    static_cast<uint64_t>(upd::defaultFlashLayout.configSectorSize);

}  // namespace updimage
