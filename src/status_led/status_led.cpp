// The status LED behind /dev/led: read its state, set a steady mode or make
// it blink with a period given in milliseconds.
#include "status_led/status_led.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "log/log.h"
#include "platform/device_requests.h"
#include "platform/platform.h"

namespace upd {
namespace {

constexpr int32_t steadyOffPeriod = 0;  // LED_SET_MODE 0
constexpr int32_t steadyOnPeriod = -1;  // LED_SET_MODE 2
constexpr uintptr_t modeSteady0 = 0;
constexpr uintptr_t modeBlinking = 1;
constexpr uintptr_t modeSteady2 = 2;

// The device, open for the length of one operation; the failure entry names
// the operation that opens it.
platform::UniqueFd openLed(const char* operation) {
  platform::UniqueFd device(platform::open(ledNodePath, O_RDWR | O_CLOEXEC));
  if (!device.valid()) OPERATION_ERROR(operation, Critical, 106, "Can't open LED device!\n");
  return device;
}

// The period in clock ticks: period x ticks per second / 1000, cut toward
// zero; 0 when that is out of range (0 or less, or beyond 32 bits).
int32_t periodTicks(int32_t periodMs) {
  int64_t ticks = static_cast<int64_t>(periodMs) * platform::clockTicksPerSecond() / 1000;
  return ticks <= 0 || ticks > INT32_MAX ? 0 : static_cast<int32_t>(ticks);
}

int setMode(int fd, uintptr_t mode) {
  return platform::ioctl(fd, devreq::LED_SET_MODE, mode) < 0 ? -2 : 0;
}

}  // namespace

int getStatusled(int32_t* state) {
  platform::UniqueFd device = openLed(__func__);
  if (!device.valid()) return -1;
  int result =
      platform::ioctl(device.get(), devreq::LED_GET_STATE, reinterpret_cast<uintptr_t>(state));
  return result < 0 ? -2 : 0;
}

int setStatusLed(int32_t period) {
  platform::UniqueFd device = openLed(__func__);
  if (!device.valid()) return -1;
  if (period == steadyOnPeriod) return setMode(device.get(), modeSteady2);
  if (period == steadyOffPeriod) return setMode(device.get(), modeSteady0);
  int32_t ticks = periodTicks(period);
  if (ticks <= 0) {
    LOG_ERROR(Warning, 103, "blinking period out of range! \n");
    return -3;
  }
  if (platform::ioctl(device.get(), devreq::LED_SET_PERIOD, static_cast<uintptr_t>(ticks)) < 0)
    return -2;
  return setMode(device.get(), modeBlinking);
}

}  // namespace upd
