// The poll slots: slot 0 the admin socket, which the frame enters at
// start-up, and at most one module channel after it, which the module link
// enters and removes. Every subsystem may include this header.
#pragma once

#include <poll.h>

namespace upd {

struct PollSet {
  struct pollfd slots[3];
  int nfds;        // slots handed to poll: 1 after start-up, 2 with a module channel
  int moduleSlot;  // index of the module channel, 0 when none is open
};
inline PollSet pollSet = {};

}  // namespace upd
