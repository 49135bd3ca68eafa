// Process frame: start-up, the poll loop, the signal handlers and the one
// orderly way out.
#pragma once

#include <poll.h>

#include <csignal>

namespace upd {

struct PollSet {
  struct pollfd slots[3];
  int nfds;        // slots handed to poll: 1 after start-up, 2 with a module channel
  int moduleSlot;  // index of the module channel, 0 when none is open
};
extern PollSet pollSet;

extern volatile sig_atomic_t isRunning;
extern volatile sig_atomic_t exitInProgress;
// Non-zero while a signal handler of the daemon runs.
extern volatile sig_atomic_t inSignalHandler;

constexpr int pollTimeoutMs = 1000;

// Start-up and loop; every end goes through exitHandler.
int updateProcessMain();
[[noreturn]] void exitHandler(int signalNumber);
void reboot(const char* reason);  // the daemon's own: ends it with a logged reason
void alarmHandler(int signalNumber);
void childDead(int signalNumber);
void initUpdateProcess();

}  // namespace upd
