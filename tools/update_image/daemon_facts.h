// What the daemon does with each part of an update archive, as update_image
// needs to know it: taken from the daemon's headers where they hold it, and
// written out here (marked "as in src/...") where it lives only in a daemon
// source file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "child_process/child_process.h"
#include "image/image.h"
#include "pskey_files/pskey_files.h"
#include "sequencer/sequencer.h"

namespace updimage {

constexpr uint32_t imageMagic = upd::IMAGE_MAGIC;
constexpr uint8_t multiImageType = upd::IMAGE_TYPE_MULTI;
constexpr size_t headerSize = upd::imageHeaderSize;
constexpr size_t nameSize = upd::imageNameSize;

// The image writer writes only a software image whose name begins so
// (as in src/image/image_writer.cpp).
constexpr const char* softwareNamePrefix = "Linux";

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

// Step keys of updatetodo.txt by step number, with the part whose version
// decides whether the step runs (as in src/sequencer/update_plan.cpp).
struct StepKey {
  uint32_t number;
  const char* key;
  uint32_t partKind;
};
constexpr StepKey stepKeys[] = {
    {upd::CHECK_VERSIONS, "CHECK_VERSIONS", upd::PART_NONE},
    {upd::BT_MOD_SET_READ, "BT_MOD_SET_READ", upd::PART_NONE},
    {upd::BT_MOD_SET_COMP, "BT_MOD_SET_COMP", upd::PART_NONE},
    {upd::BT_MOD_SET_NEW_WRITE, "BT_MOD_SET_NEW_WRITE", upd::PART_PSKEYS},
    {upd::BT_MOD_SET_ALL_WRITE, "BT_MOD_SET_ALL_WRITE", upd::PART_PSKEYS},
    {upd::BT_MOD_SET_FIRM_STACK, "BT_MOD_SET_FIRM_STACK", upd::PART_FIRMWARE},
    {upd::LAP_SOFTWARE, "LAP_SOFTWARE", upd::PART_LAP_SOFTWARE},
};
constexpr size_t planMaxSteps = upd::planMaxSteps;
// The daemon reads the plan and key files in pieces of at most this many
// characters (as in src/sequencer/update_plan.cpp; psrLineSize - 2 for PSR).
constexpr size_t daemonLineLength = upd::psrLineSize - 2;

// Keys of the version files (as in src/sequencer/update_plan.cpp); the
// version check takes only the software version from the package's VERSION.
constexpr const char* versionKeys[] = {"BTFIRMWARE", "CSRMODULINFO", "LAP_VERSION"};
constexpr const char* softwareVersionKey = "LAP_VERSION";
// The new firmware and configuration versions ride in two PS-keys of
// pskeyorig.psr, with at least so many words (as in
// src/sequencer/version_check.cpp).
constexpr const char* firmwareVersionKey = "&02a5 = ";
constexpr size_t firmwareVersionMinWords = 10;
constexpr const char* configVersionKey = "&02a4 = ";
constexpr size_t configVersionMinWords = 2;

constexpr size_t psrMaxWords = upd::psrMaxWords;

// The firmware step's files: the download tool, its firmware file and the
// three BCSP drivers (as in src/child_process/child_process.cpp and
// src/sequencer/step_driver.cpp).
constexpr const char* firmwareFile = "stack.dfu";
constexpr const char* bcspDrivers[] = {"linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"};

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
