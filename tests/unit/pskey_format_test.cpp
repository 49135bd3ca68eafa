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

// The version check's key lookup: the rest of the first line with the
// prefix, cut to the text buffer, and its words until one is not four hex
// digits, the line ends or the word buffer is full. Buffers of their exact
// size, so that an overrun shows under the address sanitizer.
TEST(FindKey, TextAndWords) {
  Sandbox sandbox;
  testsupport::useInProcess(sandbox);
  std::string longLine = "&02a5 =";
  for (int i = 0; i < 30; ++i) longLine += " 4142";
  longLine += "\r\n";
  std::vector<uint8_t> twelveWords;
  for (int i = 0; i < 12; ++i) twelveWords.insert(twelveWords.end(), {0x42, 0x41});
  struct Case {
    const char* what;
    const char* file;  // null: no file
    const char* prefix;
    size_t textSize;
    size_t maxWords;
    int result;
    const char* text;
    std::vector<uint8_t> words;
  };
  const Case cases[] = {
      {"second line", "&02a4 = 3031\r\n&02a5 = 0102 0304\r\n&02a6 = 0000\r\n", "&02a5 = ", 64,
       12, 1, "0102 0304\r\n", {0x02, 0x01, 0x04, 0x03}},
      {"prefix of other case", "&02a5 = 0102\r\n", "&02A5 = ", 16, 2, 0, nullptr, {}},
      {"long line", longLine.c_str(), "&02a5 = ", 16, 12, 1, "4142 4142 4142 ",
       twelveWords},
      {"word not hex", "&02a5 = 0102 zz03 0405\r\n", "&02a5 = ", 64, 4, 1, "0102 zz03 0405\r\n",
       {0x02, 0x01}},
      {"last line without its end", "&02a5 = 0a0B", "&02a5 = ", 64, 4, 1, "0a0B", {0x0B, 0x0a}},
      {"no words", "&02a5 = \r\n", "&02a5 = ", 8, 1, 1, "\r\n", {}},
      {"no file", nullptr, "&02a5 = ", 8, 1, 0, nullptr, {}},
  };
  const char* path = "/tmp/pskeyorig.psr";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::remove(sandbox.path(path).c_str());
    if (c.file != nullptr) sandbox.write(path, c.file);
    std::vector<char> text(c.textSize, 'x');
    std::vector<uint8_t> words(2 * c.maxWords, 0xEE);
    int count = -1;
    ASSERT_EQ(c.result, upd::findPSKeyValue(path, c.prefix, text.data(), text.size(),
                                            words.data(), c.maxWords, &count));
    if (c.result != 1) {
      EXPECT_EQ(std::vector<char>(c.textSize, 'x'), text);
      EXPECT_EQ(-1, count);
      continue;
    }
    EXPECT_STREQ(c.text, text.data());
    ASSERT_EQ(static_cast<int>(c.words.size() / 2), count);
    EXPECT_EQ(c.words, std::vector<uint8_t>(words.begin(), words.begin() + 2 * count));
  }
  // A key file with a NUL byte before the key holds no value.
  sandbox.write(path, "// a" + std::string(1, '\0') + "\r\n&02a5 = 0102\r\n");
  char text[16];
  uint8_t words[2];
  EXPECT_EQ(0, upd::findPSKeyValue(path, "&02a5 = ", text, sizeof text, words, 1));
}

}  // namespace
