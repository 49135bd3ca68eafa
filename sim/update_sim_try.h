// update_sim --try: an update archive tried on a fresh simulated board.
#pragma once

#include <functional>
#include <string>

namespace sim {

struct TryOptions {
  std::string archive;
  std::string settings;  // board settings file ("" for none)
  std::string data;      // installed version records for /etc/data.txt ("" for none)
  std::string module;    // the module's store for board/module.psr ("" for its factory store)
  std::string root;      // the board's folder ("" for a new one under /tmp)
  double timeScale = 1.0;
  bool keep = false;  // keep the new board's folder (one given by root is always kept)
  bool json = false;  // the outcome as JSON on standard output, the rest on standard error
  std::string powerCut;  // --power-cut: the cut point of power.cut ("" for none)
};

// Prepares a fresh board, runs the daemon on it in a child process (through
// runDaemon, which gets the board's root and does not return), acts as the
// admin side: puts the archive at /tmp/image, sends the start request,
// shows the update live and its verdict, tells where everything is left and
// ends the daemon and every process the board started. The exit status: 0
// when the update ended "OK", 1 when it did not, 2 for a usage or file error,
// 128 + the signal's number when SIGINT, SIGTERM or SIGHUP interrupted it or
// its standard output was closed (SIGPIPE, also when seen without a write).
int tryArchive(const TryOptions& options, const std::function<void(const std::string&)>& runDaemon);

// tryArchive with a power cut at options.powerCut: first the archive on a
// second fresh board uninterrupted (the reference, in ROOT.reference), then on
// the board with power.cut set; once the power is cut, the reboot, a fresh
// daemon and the same archive again; then the device (flash, the module's
// store and firmware, the version records) compared with the reference. The
// exit status: 0 when the device ends as the uninterrupted update left the
// reference, 1 when it does not or the cut never came, else as tryArchive.
int tryPowerCut(const TryOptions& options, const std::function<void(const std::string&)>& runDaemon);

}  // namespace sim
