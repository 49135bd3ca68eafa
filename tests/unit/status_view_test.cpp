// update_admin --watch in plain lines: a recorded sequence of status file
// states, as the daemon writes them, against the kept lines of the view.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "admin_side/status_view.h"
#include "test_support.h"

namespace {

// What happens to the status file (or the link) at a time after the start.
struct Event {
  double seconds;
  enum { append, rewrite, verdict } kind;  // rewrite: the last 12 bytes, in place
  const char* text;
};

// An update of six steps: the version report, a module step that times out,
// a skipped step, a firmware download whose figure is rewritten in place and,
// after an error text came behind it, appended anew, the image writer's
// figures, the finish line and the result report. Finish lines of ticks
// before the daemon took the start request come first.
const Event recording[] = {
    {0.1, Event::append, "*UPDATE_FINISHED* ... OK\n"},
    {0.2, Event::append, "Version Check:         started ... "},
    {0.2, Event::append,
     "OK\n     part:            |     old version      |      new version      |   update ?"},
    {0.2, Event::append,
     "\n   Trilo Firmware ...  2.13                    2.14 means stable          yes             "},
    {0.2, Event::append,
     "\n   PS-Key         ...  K1 0107                 K1 0108                    yes             "},
    {0.2, Event::append,
     "\n   skq Software   ...  1.0.0                   1.1.0                      yes             "},
    {0.2, Event::append, "\n"},
    {0.3, Event::append, "Read PS-Keys:          started ... "},
    {15.3, Event::append, "Update step timed out !!!"},
    {15.3, Event::append, " NOK\n"},
    {15.3, Event::append, "Write diff. PS-Keys:   started ... nothing to do ... OK\n"},
    {15.4, Event::append, "Update Trilo Firmware: started ... "},
    {26.0, Event::append, "Update step timed out !!!...assuming BCSP -> try BCSP\n"},
    {26.1, Event::append, "  0 percent "},
    {29.1, Event::rewrite, " 25 percent "},
    {32.1, Event::rewrite, " 50 percent "},
    {33.0, Event::append, "open error file /tmp/pskeydump.psr: 0x0d Permission denied"
                          "open error TL interface /dev/bcspRel2: 0x02 No such file or directory"},
    {35.1, Event::append, " 75 percent "},
    {38.1, Event::append, "100 percent "},
    {38.2, Event::append, "OK\n"},
    {38.2, Event::append, "Update skq Software:   started ... "},
    {38.2, Event::append, "  0 percent "},
    {38.5, Event::rewrite, " 33 percent "},
    {38.8, Event::rewrite, " 66 percent "},
    {39.1, Event::rewrite, "100 percent "},
    {39.1, Event::append, "OK\n"},
    {39.2, Event::append, "*UPDATE_FINISHED* ... NOK\n"},
    {39.3, Event::verdict, "NOK"},
    {40.2, Event::append, "*UPDATE_FINISHED* ... NOK\n"},
};

// The recording played to a view; what it wrote. verdictText replaces the
// recording's verdict.
std::string play(admin::StatusView::Style style, const std::string& verdictText = "") {
  std::ostringstream out;
  const double start = 1000;
  admin::StatusView view(out, style, "update on the test board", [] {
    return "# plan\nCHECK_VERSIONS\nBT_MOD_SET_READ\nBT_MOD_SET_NEW_WRITE\nBT_MOD_SET_FIRM_STACK\n"
           "LAP_SOFTWARE\nBT_MOD_SET_COMP\n";
  });
  view.started(start);
  std::string status;
  for (const Event& event : recording) {
    if (event.kind == Event::verdict) {
      view.verdict(start + event.seconds, verdictText.empty() ? event.text : verdictText);
      continue;
    }
    if (event.kind == Event::rewrite) status.resize(status.size() - 12);
    status += event.text;
    view.statusText(start + event.seconds, status);
  }
  return out.str();
}

TEST(StatusView, RecordedUpdateInPlainLines) {
  EXPECT_EQ(testsupport::readFile(std::string(UPDATE_SOURCE_DIR) + "/tests/data/watch_lines.txt"),
            play(admin::StatusView::Style::lines));
}

// The last frame on an 80-column terminal: every line shorter than the
// terminal, the version report in columns, a long verdict wrapped whole.
TEST(StatusView, RecordedUpdateOnATerminal) {
  const std::string verdict(
      "NOK: the daemon rejected the update archive (start reply, code 1 \"OK\\0\")");
  const std::string out = play(admin::StatusView::Style::terminal, verdict);
  const std::string frame = out.substr(out.rfind("\x1b[J") + 3);
  std::istringstream lines(frame);
  std::string line;
  std::string joined;
  while (std::getline(lines, line)) {
    EXPECT_LT(line.size(), 80u) << line;
    joined += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
  }
  EXPECT_NE(std::string::npos,
            joined.find("        part            old version  new version        update ?\n"
                        "        Trilo Firmware  2.13         2.14 means stable  yes\n"
                        "        PS-Key          K1 0107      K1 0108            yes\n"))
      << joined;
  EXPECT_NE(std::string::npos, joined.find("result: NOK: the daemon rejected the update archive "
                                           "(start reply, code 1\n    \"OK\\0\")\n"))
      << joined;
}

}  // namespace
