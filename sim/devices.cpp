// The device nodes and shell commands of the simulated board.
#include "sim/devices.h"

namespace sim {

const DeviceNode deviceNodes[] = {
    {"/dev/flash0", openFlashDevice},
    {"/dev/led", openLedDevice},
    {"/dev/cfUaB0", openSerialModuleNode},
    {"/dev/bcspRel2", openBcspModuleNode},
    {"/dev/etxhwif", openHwifDevice},
    {nullptr, nullptr},
};

const BoardCommand boardCommands[] = {
    {"/bin/insmod", runInsmod},
    {nullptr, nullptr},
};

}  // namespace sim
