// The step event: what handlers, readers and writers leave for the step
// driver, and the faults they count against the current step. Every
// subsystem may include this header; it includes nothing of the daemon.
#pragma once

#include <csignal>

namespace upd {

// Values of StepEvent.
enum : int {
  STEP_NEW = 0,
  STEP_BEGIN = 1,
  STEP_REPLY = 2,
  STEP_DONE = 3,
  STEP_TIMEOUT = 4,
  STEP_DFU_FAILED = 5,
  STEP_DFU_ENDED = 6,
  STEP_DFU_RUNNING = 7,
  STEP_WAIT = 8,
  STEP_LINK_SWITCH = 9,
};
// The last event of the current step; written whole by handlers and readers.
inline volatile sig_atomic_t StepEvent = STEP_NEW;

// Sets StepEvent to next only while it holds expected, with SIGALRM held off
// between the look and the write; false when it held something else. What a
// module answer goes through: it counts only while the driver waits.
bool replaceStepEvent(int expected, int next);

// Faults that do not stop the current step but fail it: a key the module
// refused, a key line that could not be sent, a dump line that could not be
// written. A step that ends with any ends " NOK"; cleared for each new step.
inline int stepFaults = 0;

}  // namespace upd
