// Virtual status LED /dev/led of the simulated board.
//
// The LED's state lives in board/led.txt of the sandbox, two lines:
//   mode M       0 and 2 steady (0 off, 2 on), 1 blinking
//   period P     blink period in clock ticks
// A missing file means "mode 0" and "period 50".
//
// Requests (numbers from platform/device_requests.h):
//   LED_GET_STATE    fills the caller's int32 with the mode
//   LED_SET_MODE     the mode by value: 0, 1 or 2, anything else EINVAL
//   LED_SET_PERIOD   the period in ticks by value: above 0, else EINVAL
//
// Its board settings are the led.* rows of boardSettings (board_settings.cpp).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/device_requests.h"
#include "sim/devices.h"

namespace sim {
namespace {

struct LedState {
  long mode = 0;
  long period = 50;
};

LedState loadState() {
  LedState state;
  FILE* file = std::fopen(boardPath("led.txt").c_str(), "r");
  if (file == nullptr) return state;
  char line[128];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    long value = 0;
    if (std::sscanf(line, "mode %ld", &value) == 1) state.mode = value;
    if (std::sscanf(line, "period %ld", &value) == 1) state.period = value;
  }
  std::fclose(file);
  return state;
}

int saveState(const LedState& state) {
  FILE* file = std::fopen(boardPath("led.txt").c_str(), "w");
  if (file == nullptr) return -1;
  std::fprintf(file, "mode %ld\nperiod %ld\n", state.mode, state.period);
  return std::fclose(file) == 0 ? 0 : -1;
}

class LedDevice : public Device {
 public:
  int ioctl(unsigned long request, uintptr_t arg) override {
    LedState state = loadState();
    if (request == devreq::LED_GET_STATE) {
      int32_t mode = static_cast<int32_t>(state.mode);
      std::memcpy(reinterpret_cast<void*>(arg), &mode, sizeof mode);
      return 0;
    }
    if (request == devreq::LED_SET_MODE) {
      if (arg > 2) {
        errno = EINVAL;
        return -1;
      }
      state.mode = static_cast<long>(arg);
      return saveState(state);
    }
    if (request == devreq::LED_SET_PERIOD) {
      if (settingOn("led.refuse_period")) {
        errno = EIO;
        return -1;
      }
      int32_t ticks = static_cast<int32_t>(static_cast<uint32_t>(arg));
      if (ticks <= 0) {
        errno = EINVAL;
        return -1;
      }
      state.period = ticks;
      return saveState(state);
    }
    errno = ENOTTY;
    return -1;
  }
};

}  // namespace

std::unique_ptr<Device> openLedDevice(int, int* error) {
  if (settingOn("led.missing")) {
    *error = ENOENT;
    return nullptr;
  }
  return std::make_unique<LedDevice>();
}

}  // namespace sim
