// The comparison of the new key set with the module dump: report and write
// set, byte for byte.
#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "pskey_files/pskey_files.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

std::string lines(const std::vector<std::string>& keyLines) {
  std::string text;
  for (const std::string& line : keyLines) text += line + "\r\n";
  return text;
}

struct CompareCase {
  const char* name;
  std::vector<std::string> reference;
  std::vector<std::string> dump;
  std::string report;  // "" when the report must stay absent
  std::string toSet;   // "" when the write set must stay absent
};
// Test names show the case, not its bytes.
void PrintTo(const CompareCase& c, std::ostream* out) { *out << c.name; }

const std::vector<CompareCase>& compareCases() {
  static const std::vector<CompareCase> cases = {
      {"Identical",
       {"&0001 = 0001", "&01a5 = 0000"},
       {"&0001 = 0001", "&01a5 = 0000"},
       "",
       ""},
      {"ValueDiffers",
       {"&01a5 = 0001"},
       {"&01a5 = 0000"},
       ">>&01a5 = 0001\r\n<<&01a5 = 0000\r\n",
       "&01a5 = 0001\r\n"},
      {"ModuleHasAnExtraKey",
       {"&0001 = 0001", "&0003 = 0003"},
       {"&0001 = 0001", "&0002 = 0002", "&0003 = 0003"},
       "<<&0002 = 0002\r\n",
       ""},
      {"DumpEndsBeforeTheReference",
       {"&0001 = 0001", "&0005 = 0005"},
       {"&0001 = 0001", "&0003 = 0003"},
       "<<&0003 = 0003\r\n>>&0005 = 0005\r\n",
       "&0005 = 0005\r\n"},
      {"RewindReportsEarlierKeysAgain",
       {"&0002 = 0002", "&0004 = 0004"},
       {"&0001 = 0001", "&0003 = 0003", "&0004 = 0004"},
       "<<&0001 = 0001\r\n>>&0002 = 0002\r\n<<&0001 = 0001\r\n<<&0003 = 0003\r\n",
       "&0002 = 0002\r\n"},
      {"UpperCaseIsWrittenAgain",
       {"&01A5 = 00AB"},
       {"&01a5 = 00ab"},
       ">>&01A5 = 00AB\r\n<<&01a5 = 00ab\r\n",
       "&01A5 = 00AB\r\n"},
      {"EmptyReference",
       {},
       {"&0001 = 0001", "&0002 ="},
       "<<&0001 = 0001\r\n<<&0002 =\r\n",
       ""},
      {"EmptyDump",
       {"&0001 = 0001", "&0002 = 0002"},
       {},
       ">>&0001 = 0001\r\n>>&0002 = 0002\r\n",
       "&0001 = 0001\r\n&0002 = 0002\r\n"},
      {"KeysAfterTheLastReferenceKey",
       {"&0001 = 0001"},
       {"&0001 = 0001", "&0002 = 0002", "&0003 = 0003"},
       "<<&0002 = 0002\r\n<<&0003 = 0003\r\n",
       ""},
      {"TrailingSpaceDiffers",
       {"&0001 = 0001 "},
       {"&0001 = 0001"},
       ">>&0001 = 0001 \r\n<<&0001 = 0001\r\n",
       "&0001 = 0001 \r\n"},
      {"LinesWithoutKeyArePassedOver",
       {"", "&0001 = 0002", "left over"},
       {"&0001 = 0001", ""},
       ">>&0001 = 0002\r\n<<&0001 = 0001\r\n",
       "&0001 = 0002\r\n"},
  };
  return cases;
}

struct CompareTest : ::testing::TestWithParam<CompareCase> {
  testsupport::Sandbox sandbox;
  void SetUp() override { testsupport::useInProcess(sandbox); }
};

TEST_P(CompareTest, ReportAndWriteSet) {
  const CompareCase& c = GetParam();
  sandbox.write("/tmp/pskeyprep.psr", lines(c.reference));
  sandbox.write("/tmp/pskeydump.psr", lines(c.dump));
  EXPECT_EQ(1, upd::comparePSKeyFiles("/tmp/pskeyprep.psr", "/tmp/pskeydump.psr"));
  EXPECT_EQ(!c.report.empty(), sandbox.exists("/tmp/pskeycomp.psr"));
  EXPECT_EQ(!c.toSet.empty(), sandbox.exists("/tmp/pskeytoset.psr"));
  EXPECT_EQ(c.report, sandbox.read("/tmp/pskeycomp.psr"));
  EXPECT_EQ(c.toSet, sandbox.read("/tmp/pskeytoset.psr"));
}

INSTANTIATE_TEST_SUITE_P(PSR, CompareTest, ::testing::ValuesIn(compareCases()),
                         [](const auto& p) { return std::string(p.param.name); });

struct CompareFilesTest : ::testing::Test {
  testsupport::Sandbox sandbox;
  void SetUp() override { testsupport::useInProcess(sandbox); }
};

TEST_F(CompareFilesTest, MissingInputWritesNothing) {
  sandbox.write("/tmp/pskeyprep.psr", "&0001 = 0001\r\n");
  EXPECT_EQ(0, upd::comparePSKeyFiles("/tmp/pskeyprep.psr", "/tmp/pskeydump.psr"));
  EXPECT_EQ(0, upd::comparePSKeyFiles("/tmp/missing.psr", "/tmp/pskeyprep.psr"));
  EXPECT_FALSE(sandbox.exists("/tmp/pskeycomp.psr"));
  EXPECT_FALSE(sandbox.exists("/tmp/pskeytoset.psr"));
}

// An output that cannot be written whole fails the comparison, and neither
// output is left half written.
TEST_F(CompareFilesTest, OutputNotWrittenLeavesNoOutput) {
  sandbox.write("/tmp/pskeyprep.psr", "&0001 = 0002\r\n&0003 = 0003\r\n");
  sandbox.write("/tmp/pskeydump.psr", "&0001 = 0001\r\n");
  for (const char* full : {"/tmp/pskeycomp.psr", "/tmp/pskeytoset.psr"}) {
    sandbox.settings(std::string("fs.full = ") + full + "\n");
    sim::reloadSettings();
    EXPECT_EQ(-1, upd::comparePSKeyFiles("/tmp/pskeyprep.psr", "/tmp/pskeydump.psr")) << full;
    EXPECT_FALSE(sandbox.exists("/tmp/pskeycomp.psr")) << full;
    EXPECT_FALSE(sandbox.exists("/tmp/pskeytoset.psr")) << full;
  }
  sandbox.settings("");
  sim::reloadSettings();
}

}  // namespace
