// A power cut of the simulated board (board setting power.cut): at a chosen
// event of an update the daemon and every process it started stop at once,
// as they would when the board loses its power, and board/power_cut.txt
// records what was cut. The next power-up of the board (the next start of
// update_sim on it) is the reboot: it empties /tmp and drops every volatile
// device state, and keeps the flash, the module's store and firmware and
// /etc/data.txt.
#pragma once

#include <string>

namespace sim {
namespace power {

enum class Event { modulePacket, flashWrite, flashErase, statusWrite, download, time };

struct CutPoint {
  Event event = Event::time;
  long count = 0;      // the Nth event, or the percent of download
  bool torn = false;   // the write or erase is half done when the power goes
  double seconds = 0;  // time: daemon seconds after the start request
};

// Reads a power.cut value ("flash_write:3:torn", "time:1.5", ...); false
// when it names no cut point.
bool readCutPoint(const std::string& text, CutPoint* point);

// The start request reached the daemon: the events count from here.
void startRequestSeen();

// What happens to an event that is counted.
enum class At { goesOn, cutBefore, cutHalfway };
// Counts one event of the kind; whether the power goes with it.
At count(Event event);

// Cuts the power now: every process of the board that the daemon started is
// killed with SIGKILL, then board/power_cut.txt records the cut point and
// what, and the daemon itself is killed.
[[noreturn]] void cut(const std::string& what);

// The real time (sim::now()) at which a time cut comes; infinite when none.
double deadline();
// Cuts the power when the time of a time cut has come.
void checkTime();

// The power-up of a board whose power was cut (the reboot): empties /tmp,
// removes the loaded drivers (board/drivers.txt) and the LED state, and
// notes it in board/power_cut.txt. Does nothing on a board that is up.
// Returns true and what it did in *done when it rebooted.
bool powerUp(const std::string& root, std::string* done);

}  // namespace power
}  // namespace sim
