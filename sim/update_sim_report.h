// update_sim --try --json: the outcome of a try as one JSON object.
#pragma once

#include <string>

#include "admin_side/status_view.h"

namespace sim {

struct TryOutcome {
  std::string archive;
  std::string board;  // the board's folder
  bool kept = false;  // whether it stays after the try
  double timeScale = 1;
  const admin::UpdateView* update = nullptr;  // the steps as last seen; null when none
  std::string verdict;                        // "OK", "NOK", "" for none
  std::string verdictText;
  double seconds = -1;         // from the start request to the verdict
  int interruptedBy = 0;       // the signal that ended the try early, 0 for none
  int daemonStatus = -1;       // the daemon's exit status once stopped
  int exitStatus = 0;          // update_sim's
  std::string moduleStoreText;  // the store the module began with ("" for its factory store)
};

// The outcome, with where the board's files leave the device (read from the
// board's folder, which must still be there): the flash, the module's
// firmware and store, the installed versions. Fields: docs/simulated_board.md.
std::string outcomeJson(const TryOutcome& outcome);

}  // namespace sim
