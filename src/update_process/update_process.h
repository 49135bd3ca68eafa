// Process frame: start-up, the poll loop, the signal handlers and the one
// orderly way out.
#pragma once

#include <csignal>

#include "common/poll_set.h"  // the slots the loop polls

namespace upd {

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
