// The comment stripping of a key file and the two key writers, with the SET
// requests they send read back from a socket pair in the module slot.
#include <cstdio>
#include <string>

#include "bt_module_link_test.h"

namespace {

using moduletest::Bytes;
using moduletest::ModuleLink;

// --- preparation ----------------------------------------------------------

struct PrepareCase {
  const char* name;
  std::string source;
  std::string prepared;
};
// Test names show the case, not its bytes.
void PrintTo(const PrepareCase& c, std::ostream* out) { *out << c.name; }

const std::vector<PrepareCase>& prepareCases() {
  const std::string longComment = "//" + std::string(1500, 'c') + "\r\n";
  static const std::vector<PrepareCase> cases = {
      {"DropsCommentLines", "// header\r\n&01a6 = 0001\r\n//\r\n", "&01a6 = 0001\r\n"},
      {"CutsTrailingComment", "&01a5 = 0000 // note\r\n", "&01a5 = 0000 \r\n"},
      {"CutsCommentWithoutSpace", "&01a5 = 0000// note\r\n", "&01a5 = 0000\r\n"},
      {"KeepsLinesWithoutComment", "&0191 =\r\n&01a5 = 0000\r\n\r\n", "&0191 =\r\n&01a5 = 0000\r\n\r\n"},
      {"LfLineEnd", "&01a5 = 0000 // note\n", "&01a5 = 0000 \n"},
      {"LastLineWithoutLineEnd", "&01a5 = 0000 // note", "&01a5 = 0000 "},
      {"CommentEndsAtSlashes", "&01a5 = 0000 //\r\n", "&01a5 = 0000 \r\n"},
      {"LongCommentLine", longComment + "&01a5 = 0000\r\n", "&01a5 = 0000\r\n"},
      {"LongTrailingComment", "&01a5 = 0000 //" + std::string(1500, 'c') + "\r\n&01a6 = 0001\r\n",
       "&01a5 = 0000 \r\n&01a6 = 0001\r\n"},
      {"Empty", "", ""},
  };
  return cases;
}

struct PrepareTest : ::testing::TestWithParam<PrepareCase> {
  testsupport::Sandbox sandbox;
  void SetUp() override { testsupport::useInProcess(sandbox); }
};

TEST_P(PrepareTest, StripsComments) {
  sandbox.write("/tmp/pskeyorig.psr", GetParam().source);
  EXPECT_EQ(1, upd::preparePSKeyFile("/tmp/pskeyorig.psr", "/tmp/pskeyprep.psr"));
  EXPECT_EQ(GetParam().prepared, sandbox.read("/tmp/pskeyprep.psr"));
}

INSTANTIATE_TEST_SUITE_P(PSR, PrepareTest, ::testing::ValuesIn(prepareCases()),
                         [](const auto& p) { return std::string(p.param.name); });

// A key file that cannot be prepared whole leaves no prepared file.
TEST(PrepareFile, AppendsOrLeavesNothing) {
  testsupport::Sandbox sandbox;
  testsupport::useInProcess(sandbox);
  sandbox.write("/tmp/pskeyprep.psr", "&0001 = 0001\r\n");
  sandbox.write("/tmp/pskeyorig.psr", "&0002 = 0002 // two\r\n");
  EXPECT_EQ(1, upd::preparePSKeyFile("/tmp/pskeyorig.psr", "/tmp/pskeyprep.psr"));
  EXPECT_EQ("&0001 = 0001\r\n&0002 = 0002 \r\n", sandbox.read("/tmp/pskeyprep.psr"));
  EXPECT_EQ(-1, upd::preparePSKeyFile("/tmp/missing.psr", "/tmp/other.psr"));
  EXPECT_FALSE(sandbox.exists("/tmp/other.psr"));
  // A line in pieces counts once.
  sandbox.write("/tmp/pskeyorig.psr", "&0002 = 0002\r\n//" + std::string(1500, 'c') +
                                          "\r\n// x" + std::string(1, '\0') + "\r\n&0003 = 0003\r\n");
  EXPECT_EQ(-1, upd::preparePSKeyFile("/tmp/pskeyorig.psr", "/tmp/pskeyprep.psr"));
  EXPECT_FALSE(sandbox.exists("/tmp/pskeyprep.psr"));
  EXPECT_NE(std::string::npos, sandbox.read("/tmp/update.log")
                                   .find("/tmp/pskeyorig.psr line 3: NUL byte, key file refused\n"));
}

// --- key writer -------------------------------------------------------------

// Key id and value bytes of a SET request as sent on the serial link.
struct SetRequest {
  uint16_t keyId;
  Bytes value;  // low byte first
  bool operator==(const SetRequest& o) const { return keyId == o.keyId && value == o.value; }
};

std::ostream& operator<<(std::ostream& out, const SetRequest& r) {
  out << "key " << std::hex << r.keyId << " value";
  for (uint8_t b : r.value) out << ' ' << static_cast<int>(b);
  return out;
}

SetRequest decodeSet(const Bytes& packet, size_t header) {
  EXPECT_EQ(header + 96, packet.size());
  if (packet.size() != header + 96) return {0xFFFF, {}};
  const uint8_t* msg = packet.data() + header;
  EXPECT_EQ(0x02, msg[0]);
  EXPECT_EQ(0x30, msg[2]);
  size_t words = msg[12];
  for (size_t i = 16 + 2 * words; i < 96; ++i) EXPECT_EQ(0, msg[i]) << "byte " << i;
  return {static_cast<uint16_t>(msg[10] | msg[11] << 8), Bytes(msg + 16, msg + 16 + 2 * words)};
}

struct KeyWriterTest : ModuleLink {
  const char* fileA = "/tmp/pskeytoset.psr";
  const char* fileB = "/tmp/pskeyprep.psr";

  // One writer call: the SET it sent, or none.
  bool writeOne(const char* path, SetRequest* request) {
    upd::StepEvent = upd::STEP_WAIT;
    upd::writeAllPSKeys(path);
    Bytes packet = sent();
    if (packet.empty()) return false;
    EXPECT_TRUE(sent().empty()) << "one request per call";
    *request = decodeSet(packet, 5);
    return true;
  }
  // Calls until the pass ends; the keys sent, in order.
  std::vector<SetRequest> wholePass(const char* path) {
    std::vector<SetRequest> requests;
    SetRequest request;
    for (int call = 0; call < 100; ++call) {
      if (!writeOne(path, &request)) break;
      requests.push_back(request);
      EXPECT_EQ(upd::STEP_WAIT, upd::StepEvent);
    }
    EXPECT_EQ(upd::STEP_DONE, upd::StepEvent);
    return requests;
  }
};

TEST_F(KeyWriterTest, SendsEveryKeyLineThenEnds) {
  sandbox.write(fileA, "&01f9 = 0003\r\n&0191 =\r\n&01A5 = 00Ab 1002\r\n");
  std::vector<SetRequest> expected = {
      {0x01f9, {0x03, 0x00}}, {0x0191, {}}, {0x01a5, {0xAB, 0x00, 0x02, 0x10}}};
  EXPECT_EQ(expected, wholePass(fileA));
  // The next call begins a new pass from the first line.
  EXPECT_EQ(expected, wholePass(fileA));
}

TEST_F(KeyWriterTest, EmptyAndMissingFiles) {
  sandbox.write(fileA, "");
  EXPECT_EQ(1, upd::writeAllPSKeys(fileA));
  EXPECT_EQ(upd::STEP_DONE, upd::StepEvent);
  upd::StepEvent = upd::STEP_WAIT;
  EXPECT_EQ(0, upd::stepFaults);
  EXPECT_EQ(-1, upd::writeAllPSKeys("/tmp/missing.psr"));
  EXPECT_EQ(upd::STEP_DONE, upd::StepEvent);
  EXPECT_EQ(1, upd::stepFaults);  // no key of the file reached the module
  EXPECT_TRUE(sent().empty());
}

TEST_F(KeyWriterTest, SkipsLinesThatAreNotKeyLines) {
  sandbox.write(fileA, "\r\n// left over\r\n&0001 = 0001\r\nrubbish\r\n\r\n&0002 = 0002\r\n\r\n");
  std::vector<SetRequest> expected = {{0x0001, {0x01, 0x00}}, {0x0002, {0x02, 0x00}}};
  EXPECT_EQ(expected, wholePass(fileA));
}

TEST_F(KeyWriterTest, RefusesBadKeyLinesAndGoesOn) {
  std::string fortyOne = "&0003 =";
  for (int i = 0; i < 41; ++i) fortyOne += " 0001";
  sandbox.write(fileA, "&0001 = 00zz\r\n" + fortyOne + "\r\n&0002 = 0002 \r\n&0004 = 12\r\n");
  std::vector<SetRequest> expected = {{0x0002, {0x02, 0x00}}};
  EXPECT_EQ(expected, wholePass(fileA));
  const std::string log = statusFile();
  EXPECT_NE(std::string::npos, log.find("PS-Key line refused (more than 40 words or not hex): "
                                        "&0001 = 00zz\n"));
  EXPECT_NE(std::string::npos, log.find(": &0003 = 0001 0001"));
  EXPECT_NE(std::string::npos, log.find(": &0004 = 12\n"));
}

TEST_F(KeyWriterTest, FortyWordLineIsSentWhole) {
  std::string line = "&0003 =";
  Bytes value;
  for (int i = 0; i < 40; ++i) {
    char word[8];
    std::snprintf(word, sizeof word, " %04x", i);
    line += word;
    value.push_back(static_cast<uint8_t>(i));
    value.push_back(0x00);
  }
  sandbox.write(fileA, line + "\r\n");
  std::vector<SetRequest> expected = {{0x0003, value}};
  EXPECT_EQ(expected, wholePass(fileA));
}

TEST_F(KeyWriterTest, InterruptedPassDoesNotGoOnInAnotherFile) {
  sandbox.write(fileA, "&0001 = 0001\r\n&0002 = 0002\r\n");
  sandbox.write(fileB, "&0101 = 0101\r\n");
  SetRequest request;
  ASSERT_TRUE(writeOne(fileA, &request));
  EXPECT_EQ(0x0001, request.keyId);
  // A time-out ended the step; the next step writes another file.
  std::vector<SetRequest> expected = {{0x0101, {0x01, 0x01}}};
  EXPECT_EQ(expected, wholePass(fileB));
}

TEST_F(KeyWriterTest, ResetStartsAFreshPass) {
  sandbox.write(fileA, "&0001 = 0001\r\n&0002 = 0002\r\n");
  SetRequest request;
  ASSERT_TRUE(writeOne(fileA, &request));
  upd::resetKeyWriters();
  ASSERT_TRUE(writeOne(fileA, &request));
  EXPECT_EQ(0x0001, request.keyId);
}

// --- host-interface sets ----------------------------------------------------

struct HostIfCase {
  const char* name;
  int linkMode;
  size_t header;  // bytes before the BCCMD message
  uint8_t interfaceValue;
  uint8_t uartWord;
};
// Test names show the case, not its bytes.
void PrintTo(const HostIfCase& c, std::ostream* out) { *out << c.name; }

struct HostIfTest : ModuleLink, ::testing::WithParamInterface<HostIfCase> {};

TEST_P(HostIfTest, FourKeysThenTheSwitch) {
  const HostIfCase& c = GetParam();
  upd::LinkMode = c.linkMode;
  const Bytes uart = {0x02, 0x10, c.uartWord, 0x00, 0xfa, 0x00, 0x14, 0x00, 0x04, 0x00,
                      0x00, 0x00, 0x04, 0x00, 0x1e, 0x00, 0x64, 0x00, 0x0a, 0x00};
  const std::vector<SetRequest> expected = {{0x01a5, {c.interfaceValue, 0x00}},
                                            {0x01a6, {c.interfaceValue, 0x00}},
                                            {0x01f9, {static_cast<uint8_t>(c.interfaceValue * 2 + 1), 0x00}},
                                            {0x0191, uart}};
  for (int round = 0; round < 2; ++round) {
    for (const SetRequest& want : expected) {
      EXPECT_EQ(1, upd::writeHostIfPSKeys(0));
      EXPECT_EQ(want, decodeSet(sent(), c.header));
      EXPECT_EQ(upd::STEP_WAIT, upd::StepEvent);
    }
    EXPECT_EQ(1, upd::writeHostIfPSKeys(0));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(upd::STEP_LINK_SWITCH, upd::StepEvent);
    upd::StepEvent = upd::STEP_WAIT;
  }
}

INSTANTIATE_TEST_SUITE_P(PSR, HostIfTest,
                         ::testing::Values(HostIfCase{"SerialHci", upd::LINK_SERIAL_HCI, 5, 0, 0x2e},
                                           HostIfCase{"Serial", upd::LINK_SERIAL, 5, 0, 0x2e},
                                           HostIfCase{"Bcsp", upd::LINK_BCSP, 0, 1, 0xa8}),
                         [](const auto& p) { return std::string(p.param.name); });

using HostIfRestartTest = ModuleLink;

TEST_F(HostIfRestartTest, RestartSendsNothingAndBeginsAgain) {
  upd::writeHostIfPSKeys(0);
  upd::writeHostIfPSKeys(0);
  allSent();
  EXPECT_EQ(1, upd::writeHostIfPSKeys(1));
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(upd::STEP_WAIT, upd::StepEvent);
  upd::writeHostIfPSKeys(0);
  EXPECT_EQ(0x01a5, decodeSet(sent(), 5).keyId);
  // resetKeyWriters puts the set back at its start as well.
  upd::writeHostIfPSKeys(0);
  allSent();
  upd::resetKeyWriters();
  upd::writeHostIfPSKeys(0);
  EXPECT_EQ(0x01a5, decodeSet(sent(), 5).keyId);
}

}  // namespace
