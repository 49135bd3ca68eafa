// Module device access: opening and closing the module channel, the module
// reset through the board's hardware interface, writes and HCI commands.
#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bt_module/bt_module.h"
#include "common/poll_set.h"
#include "log/log.h"
#include "platform/device_requests.h"
#include "platform/platform.h"

namespace upd {

int LinkMode = LINK_SERIAL_HCI;
char moduleNodePath[16] = "";

namespace {

constexpr unsigned openPauseSeconds = 3;  // the module answers only after this
constexpr int bcspSetupArg1 = 3;
constexpr int bcspSetupArg4 = 0x1018;
constexpr size_t maxPollSlots = sizeof(pollSet.slots) / sizeof(pollSet.slots[0]);


void setNodePath() {
  const char* path = LinkMode == LINK_BCSP ? bcspNodePath : serialNodePath;
  std::snprintf(moduleNodePath, sizeof moduleNodePath, "%s", path);
}

// The BCSP channel's set-up requests, each issued only if the one before
// succeeded. Returns 0 when all four succeeded.
int setUpBcspChannel(int fd) {
  int arg1 = bcspSetupArg1;
  int arg4 = bcspSetupArg4;
  int result = platform::ioctl(fd, devreq::BCSP_SET_1, reinterpret_cast<uintptr_t>(&arg1));
  if (result == 0)
    result = platform::ioctl(fd, devreq::BCSP_SET_4, reinterpret_cast<uintptr_t>(&arg4));
  if (result == 0) result = platform::ioctl(fd, devreq::BCSP_SET_8, 0);
  if (result == 0) result = platform::ioctl(fd, devreq::BCSP_SET_5, 0);
  return result;
}

int closeModuleChannel() {
  setNodePath();
  if (pollSet.moduleSlot <= 0) return 1;
  struct pollfd& slot = pollSet.slots[pollSet.moduleSlot];
  OPERATION_INFO("openBtModule", 1, "closed %s with fd %d \n", moduleNodePath, slot.fd);
  platform::close(slot.fd);
  slot = {-1, 0, 0};
  pollSet.moduleSlot = 0;
  --pollSet.nfds;
  return 1;
}

int openModuleChannel() {
  // One module channel at most: a channel still open from an earlier step is
  // closed first, so its descriptor and slot are not lost.
  if (pollSet.moduleSlot > 0) {
    OPERATION_ERROR("openBtModule", Warning, 110, "module channel still open, closing it first\n");
    closeModuleChannel();
  }
  setNodePath();
  if (pollSet.nfds < 1 || static_cast<size_t>(pollSet.nfds) >= maxPollSlots) {
    OPERATION_ERROR("openBtModule", Critical, 110,
                    "open error TL interface %s: no free poll slot (%d)", moduleNodePath,
                    pollSet.nfds);
    return -1;
  }
  platform::UniqueFd channel(platform::open(moduleNodePath, O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!channel.valid()) {
    int error = errno;
    OPERATION_ERROR("openBtModule", Critical, 110, "open error TL interface %s: 0x%02x %s",
                    moduleNodePath, error, errorText(error));
    return -1;
  }
  OPERATION_INFO("openBtModule", 1, "opened %s with fd %d  %d\n", moduleNodePath, channel.get(),
                 pollSet.nfds);

  if (LinkMode == LINK_BCSP && setUpBcspChannel(channel.get()) != 0) {
    int error = errno;
    OPERATION_ERROR("openBtModule", Critical, 110, "ioctl error TL interface %s: 0x%02x %s",
                    moduleNodePath, error, errorText(error));
    channel.close();
    return BT_LINK_REFUSED;
  }

  platform::sleep(openPauseSeconds);

  const int index = pollSet.nfds;
  pollSet.slots[index] = {channel.release(), POLLIN | POLLPRI, 0};
  pollSet.moduleSlot = index;
  ++pollSet.nfds;
  return 1;
}

}  // namespace

int openBtModule(int action) { return action == 1 ? openModuleChannel() : closeModuleChannel(); }

int resetBtModule() {
  platform::UniqueFd hwif(platform::open(hwifNodePath, O_RDWR | O_CLOEXEC));
  if (!hwif.valid()) {
    LOG_ERROR(Critical, 110, "open error ETX device %s", errorText(errno));
    return -1;
  }
  LOG_INFO(3, "Reseting Bluetooth module ...\n");
  if (platform::ioctl(hwif.get(), devreq::HWIF_RESET_MODULE, 0) < 0) {
    LOG_ERROR(Critical, 110, "BT Reset failed: %s", errorText(errno));
    return -1;
  }
  return 1;
}

int writeBtmodule(const uint8_t* buf, unsigned len) {
  if (pollSet.moduleSlot <= 0) return -1;
  errno = 0;
  ssize_t written = platform::write(pollSet.slots[pollSet.moduleSlot].fd, buf, len);
  if (written < 0 || static_cast<size_t>(written) < len) {
    int error = errno;
    LOG_ERROR(Critical, 107, "BT_module_write_error %d %s \n", error, errorText(error));
    return -1;
  }
  if (moduleTraceMask & 1u) {
    // Header bytes of an HCI command; a shorter write shows zeros there.
    auto at = [&](unsigned i) { return i < len ? buf[i] : 0; };
    std::printf("HCI Cmd len: 0x%02x, typ: 0x%02x 0x%02x hdata: ", at(3), at(1), at(2));
    for (unsigned i = 0; i < len; ++i) std::printf("0x%02x ", buf[i]);
    std::printf("\n");
  }
  return 1;
}

int sendHciCmd(uint8_t paramLen, const uint8_t opcode[2], const uint8_t* params) {
  constexpr size_t headerSize = 4;
  if (paramLen > hciCommandBufferSize - headerSize || (paramLen > 0 && params == nullptr)) {
    LOG_ERROR(Critical, 110, "invalid parameter length %d in HCI command 0x%02x%02x", paramLen,
              opcode[1], opcode[0]);
    return -1;
  }
  uint8_t packet[hciCommandBufferSize] = {};
  packet[0] = 0x01;  // H4: HCI command
  packet[1] = opcode[0];
  packet[2] = opcode[1];
  packet[3] = paramLen;
  if (paramLen > 0) std::memcpy(packet + headerSize, params, paramLen);
  writeBtmodule(packet, static_cast<unsigned>(paramLen + headerSize));
  return 1;
}

}  // namespace upd
