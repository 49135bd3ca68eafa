// The one operation on the step event that must keep the alarm out.
#include "common/step_event.h"

#include "platform/platform.h"

namespace upd {

bool replaceStepEvent(int expected, int next) {
  // The alarm may not fall between the look and the write: its time-out
  // would be overwritten.
  platform::SignalBlock held(SIGALRM);
  if (StepEvent != expected) return false;
  StepEvent = next;
  return true;
}

}  // namespace upd
