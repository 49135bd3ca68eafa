// Virtual flash /dev/flash0: not fitted yet.
#include <cerrno>

#include "sim/devices.h"

namespace sim {

std::unique_ptr<Device> openFlashDevice(int, int* error) {
  *error = ENOENT;
  return nullptr;
}

}  // namespace sim
