// The status LED behind /dev/led.
#pragma once

#include <cstdint>

namespace upd {

constexpr const char* ledNodePath = "/dev/led";

int getStatusled(int32_t* state);
int setStatusLed(int32_t period);

}  // namespace upd
