// The simulated board's settings check and its readable wire trace. A number
// that cannot be read is refused by update_sim --try (admin_side_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/wire_trace.h"
#include "test_support.h"

namespace {

std::string sourceFile(const std::string& relative) {
  return testsupport::readFile(std::string(UPDATE_SOURCE_DIR) + "/" + relative);
}

// Every packet type once (HCI Reset and its completion, BCCMD GET, SET and
// answers with several statuses on both nodes, the BCSP set-up requests, a
// host-interface key, other HCI traffic, a broken packet, the board's notes),
// decoded against the kept text.
TEST(WireTrace, KeptLogDecodesToTheKeptText) {
  EXPECT_EQ(sourceFile("tests/data/wire_decoded.txt"),
            sim::wiretrace::decodeLog(sourceFile("tests/data/wire.log")));
}

TEST(BoardSettings, FileIsCheckedAgainstTheTable) {
  testsupport::Sandbox sandbox;
  const std::string path = sandbox.path("board/settings");
  struct Case {
    const char* line;
    const char* message;  // "" when the line is fine
  };
  const Case cases[] = {
      {"module.silent = yes  # comment", ""},
      {"flash.size = 0x400000", ""},
      {"module.link = bcsp", ""},
      {"module.fail_keys = 0x0003, 191", ""},
      {"dfu.delay = 0.25", ""},
      {"dfu.reslt = fail",
       ":1: unknown setting \"dfu.reslt\"; the dfu settings are dfu.result, dfu.delay"},
      {"modul.silent = 1", ":1: unknown setting \"modul.silent\"; the settings are module.*, bcsp.*, "
                           "fs.*, dfu.*, flash.*, led.*, power.* (docs/simulated_board.md lists them)"},
      {"fs.full = /tmp/, /tmp/pskeydump.psr", ""},
      {"fs.full = tmp", ":1: fs.full = \"tmp\" cannot be read; allowed: absolute paths separated "
                        "by commas, e.g. /tmp/,/tmp/image1.gz"},
      {"module.silent = maybe", ":1: module.silent = \"maybe\" cannot be read; allowed: 1, 0, yes, "
                                "no, on, off, true, false"},
      {"module.link = usb", ":1: module.link = \"usb\" cannot be read; allowed: serial, bcsp"},
      {"bcsp.refuse_ioctl = 5", ":1: bcsp.refuse_ioctl = 5 is out of range; allowed: a number "
                                "from 1 to 4"},
      {"dfu.delay = -1", ":1: dfu.delay = \"-1\" cannot be read; allowed: seconds as a plain "
                         "decimal number, e.g. 0.3"},
      {"module.fail_keys = 0x3,zz", ":1: module.fail_keys = \"0x3,zz\" cannot be read; allowed: "
                                    "key ids in hexadecimal separated by commas, e.g. 0x0003,0x0191"},
      {"power.cut = flash_write:3:torn", ""},
      {"power.cut = module_packet:2:torn",
       ":1: power.cut = \"module_packet:2:torn\" cannot be read; allowed: module_packet:N, "
       "flash_write:N, flash_erase:N, status_write:N (N from 1; the last three also with :torn), "
       "download:P (P from 0 to 100), time:S (seconds)"},
      {"module.silent", ":1: \"module.silent\" is not a setting; write key = value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    sandbox.settings(std::string(c.line) + "\n");
    std::vector<std::string> problems = sim::checkSettingsFile(path);
    if (*c.message == '\0') {
      EXPECT_TRUE(problems.empty()) << problems.front();
    } else {
      ASSERT_EQ(1u, problems.size());
      EXPECT_EQ(path + c.message, problems[0]);
    }
  }
  sandbox.settings("# board\n\nled.missing = 1\nflash.size = 1\nled.missing = 0\n");
  EXPECT_EQ(std::vector<std::string>{path + ":5: led.missing is set again (first on line 3)"},
            sim::checkSettingsFile(path));
}

// The settings page shows the table the board reads.
TEST(BoardSettings, DocumentedTableIsTheBoardsTable) {
  EXPECT_NE(std::string::npos, sourceFile("docs/simulated_board.md").find(sim::settingsTable()))
      << sim::settingsTable();
}

}  // namespace
