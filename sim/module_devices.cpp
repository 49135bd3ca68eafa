// Virtual Bluetooth module nodes: not fitted yet.
#include <cerrno>

#include "sim/devices.h"

namespace sim {

std::unique_ptr<Device> openSerialModuleNode(int, int* error) {
  *error = ENOENT;
  return nullptr;
}
std::unique_ptr<Device> openBcspModuleNode(int, int* error) {
  *error = ENOENT;
  return nullptr;
}
std::unique_ptr<Device> openHwifDevice(int, int* error) {
  *error = ENOENT;
  return nullptr;
}
// No driver loads yet: insmod fails as on a board without the files.
int runInsmod(const char*) { return 1 << 8; }

}  // namespace sim
