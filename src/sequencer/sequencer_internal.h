// Shared between the files of the sequencer only.
#pragma once

#include <cstddef>

namespace upd {

// Counts the calls of nextUpdateStep. A handler that calls something which
// may end the step itself (openBtModule) compares it across the call.
extern unsigned long stepsEnded;

// Appends text to the status file; nothing for an empty text.
void appendStatus(const char* text);

// Step 0: the finish line, the result report and the status file listing.
void runFinishStep();

}  // namespace upd
