// Shared between the files of the sequencer only.
#pragma once

namespace upd {

// Appends text to the status file; nothing for an empty text.
void appendStatus(const char* text);

// Step 0: the finish line, the result report and the status file listing.
void runFinishStep();

}  // namespace upd
