// Openers of the simulated board's virtual devices, one file each.
#pragma once

#include "sim/sim.h"

namespace sim {

std::unique_ptr<Device> openFlashDevice(int flags, int* error);       // flash_device.cpp
std::unique_ptr<Device> openLedDevice(int flags, int* error);         // led_device.cpp
std::unique_ptr<Device> openSerialModuleNode(int flags, int* error);  // module_devices.cpp
std::unique_ptr<Device> openBcspModuleNode(int flags, int* error);    // module_devices.cpp
std::unique_ptr<Device> openHwifDevice(int flags, int* error);        // module_devices.cpp
int runInsmod(const char* arguments);                                  // module_devices.cpp

}  // namespace sim
