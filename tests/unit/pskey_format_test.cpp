// PSR key lines: the positional parser and the key lookup of the version check.
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <string>
#include <vector>

#include "pskey_files/pskey_files.h"
#include "test_support.h"

namespace {

using testsupport::Sandbox;

struct ParseCase {
  const char* name;
  std::string line;
  int result;
  uint16_t keyId;
  std::vector<uint8_t> words;  // low byte first, as parsed
};
// Test names show the case, not its bytes.
void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

std::string fortyWordLine(int extraWords) {
  std::string line = "&0191 =";
  for (int i = 0; i < 40 + extraWords; ++i) line += " 00" + std::string(1, "0123456789abcdef"[i % 16]) + "1";
  return line + "\r\n";
}

std::vector<uint8_t> fortyWords() {
  std::vector<uint8_t> words;
  for (int i = 0; i < 40; ++i) {
    words.push_back(static_cast<uint8_t>((i % 16) << 4 | 1));
    words.push_back(0x00);
  }
  return words;
}

const std::vector<ParseCase>& parseCases() {
  static const std::vector<ParseCase> cases = {
      {"OneWordCrLf", "&01f9 = 0003\r\n", 1, 0x01f9, {0x03, 0x00}},
      {"UpperCaseDigits", "&01F9 = 00A3\r\n", 1, 0x01f9, {0xA3, 0x00}},
      {"NoWords", "&0191 =\r\n", 1, 0x0191, {}},
      {"NoLineEnd", "&01a5 = 0000", 1, 0x01a5, {0x00, 0x00}},
      {"TwoWords", "&0191 = 1002 00a8\r\n", 1, 0x0191, {0x02, 0x10, 0xa8, 0x00}},
      {"TrailingSpaceFromCommentCut", "&01a5 = 0000 \r\n", 1, 0x01a5, {0x00, 0x00}},
      {"TrailingSpaceNoWords", "&01a5 = \r\n", 1, 0x01a5, {}},
      {"LineEndsInEqualsColumns", "&01a5\r\n", 1, 0x01a5, {}},
      {"FortyWords", fortyWordLine(0), 1, 0x0191, fortyWords()},
      {"FortyOneWords", fortyWordLine(1), -1, 0, {}},
      {"BadDigitInWord", "&01a5 = 00g0\r\n", -1, 0, {}},
      {"WordCutByLineEnd", "&01a5 = 00\r\n", -1, 0, {}},
      {"WordCutByEndOfText", "&01a5 = 000", -1, 0, {}},
      {"BadDigitInKey", "&01x5 = 0000\r\n", -1, 0, {}},
      {"CommentLine", "// comment\r\n", -1, 0, {}},
      {"BlankLine", "\r\n", -1, 0, {}},
      {"ShortKey", "&01\r\n", -1, 0, {}},
      {"EmptyText", "", -1, 0, {}},
  };
  return cases;
}

struct ParseTest : ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, Line) {
  const ParseCase& c = GetParam();
  // The line is copied into a buffer of its exact size, so a read past its
  // terminator shows under the address sanitizer.
  std::vector<char> line(c.line.begin(), c.line.end());
  line.push_back('\0');
  uint16_t keyId = 0xFFFF;
  uint8_t words[2 * upd::psKeyMaxWords + 2];
  std::memset(words, 0xEE, sizeof words);
  int count = -5;
  ASSERT_EQ(c.result, upd::parsePSKeyLine(line.data(), &keyId, words, &count));
  if (c.result != 1) return;
  EXPECT_EQ(c.keyId, keyId);
  ASSERT_EQ(static_cast<int>(c.words.size() / 2), count);
  EXPECT_EQ(c.words, std::vector<uint8_t>(words, words + 2 * count));
  EXPECT_EQ(0xEE, words[2 * count]);  // nothing written behind the last word
}

INSTANTIATE_TEST_SUITE_P(PSR, ParseTest, ::testing::ValuesIn(parseCases()),
                         [](const auto& p) { return std::string(p.param.name); });

struct FindTest : ::testing::Test {
  Sandbox sandbox;
  void SetUp() override { testsupport::useInProcess(sandbox); }
  const char* path = "/tmp/pskeyorig.psr";
};

TEST_F(FindTest, ExampleLineGivesTextAndBytes) {
  sandbox.write(path, "&02a4 = 3031\r\n&02a5 = 0102 0304\r\n&02a6 = 0000\r\n");
  char text[64];
  uint8_t words[24] = {};
  int count = -1;
  ASSERT_EQ(1, upd::findPSKeyValue(path, "&02a5 = ", text, sizeof text, words, 12, &count));
  EXPECT_STREQ("0102 0304\r\n", text);
  EXPECT_EQ(2, count);
  EXPECT_EQ((std::vector<uint8_t>{0x02, 0x01, 0x04, 0x03}), std::vector<uint8_t>(words, words + 4));
}

TEST_F(FindTest, PrefixIsCaseSensitive) {
  sandbox.write(path, "&02a5 = 0102\r\n");
  char text[16] = "untouched";
  uint8_t words[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  int count = -1;
  EXPECT_EQ(0, upd::findPSKeyValue(path, "&02A5 = ", text, sizeof text, words, 2, &count));
  EXPECT_STREQ("untouched", text);
  EXPECT_EQ(0xAA, words[0]);
  EXPECT_EQ(-1, count);
}

TEST_F(FindTest, LongLineIsCutToTheBuffers) {
  std::string line = "&02a5 =";
  for (int i = 0; i < 30; ++i) line += " 4142";
  sandbox.write(path, line + "\r\n");
  // Exact-size heap buffers: any overrun shows under the address sanitizer.
  std::vector<char> text(16, 'x');
  std::vector<uint8_t> words(2 * 12, 0);
  int count = 0;
  ASSERT_EQ(1, upd::findPSKeyValue(path, "&02a5 = ", text.data(), text.size(), words.data(), 12,
                                   &count));
  EXPECT_EQ(12, count);
  EXPECT_EQ(std::string("4142 4142 4142 "), std::string(text.data()));
  EXPECT_EQ(0x42, words[22]);
  EXPECT_EQ(0x41, words[23]);
}

TEST_F(FindTest, StopsAtBadDigitsAndLineEnd) {
  sandbox.write(path, "&02a5 = 0102 zz03 0405\r\n&02a4 = 0a0B");
  char text[64];
  uint8_t words[8] = {};
  int count = -1;
  ASSERT_EQ(1, upd::findPSKeyValue(path, "&02a5 = ", text, sizeof text, words, 4, &count));
  EXPECT_EQ(1, count);
  ASSERT_EQ(1, upd::findPSKeyValue(path, "&02a4 = ", text, sizeof text, words, 4, &count));
  EXPECT_EQ(1, count);
  EXPECT_STREQ("0a0B", text);
  EXPECT_EQ(0x0B, words[0]);
  EXPECT_EQ(0x0a, words[1]);
}

TEST_F(FindTest, EmptyValueAndMissingFile) {
  sandbox.write(path, "&02a5 = \r\n");
  char text[8];
  uint8_t words[2];
  int count = -1;
  ASSERT_EQ(1, upd::findPSKeyValue(path, "&02a5 = ", text, sizeof text, words, 1, &count));
  EXPECT_EQ(0, count);
  EXPECT_STREQ("\r\n", text);
  EXPECT_EQ(0, upd::findPSKeyValue("/tmp/missing.psr", "&02a5 = ", text, sizeof text, words, 1));
}

}  // namespace
