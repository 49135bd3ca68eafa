#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "file_util/file_util.h"
#include "test_support.h"

namespace {

using testsupport::Sandbox;

struct FileUtilTest : ::testing::Test {
  Sandbox sandbox;
  void SetUp() override { testsupport::useInProcess(sandbox); }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
};

TEST_F(FileUtilTest, WriteFileAppendsAndCreates) {
  EXPECT_EQ(0u, upd::writeFile("/tmp/a.txt", "a", "", 0));
  EXPECT_TRUE(sandbox.exists("/tmp/a.txt"));
  EXPECT_EQ(3u, upd::writeFile("/tmp/a.txt", "a", "abc", 3));
  EXPECT_EQ(2u, upd::writeFile("/tmp/a.txt", "a", "de", 2));
  EXPECT_EQ("abcde", sandbox.read("/tmp/a.txt"));
  EXPECT_FALSE(sandbox.exists("/tmp/update.log"));
}

TEST_F(FileUtilTest, WriteFileToUnopenableFileWritesNothingAndReportsOnce) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(0u, upd::writeFile("/nofolder/x.txt", "a", "abc", 3));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ("open error file /nofolder/x.txt: 0x02 No such file or directory", statusFile());
}

TEST_F(FileUtilTest, ReadFileToBufferLimits) {
  struct Case {
    const char* content;  // null: no file
    int result;
    std::string stored;
    const char* reported;
  };
  const Case cases[] = {
      {"12345", 1, "12345", ""},
      {"123456", 1, "12345", "No more place in read buffer !!\n"},
      {"", 1, "", ""},
      {nullptr, -1, "", "open error file /tmp/in.txt: 0x02 No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content != nullptr ? c.content : "no file");
    ::remove(sandbox.path("/tmp/in.txt").c_str());
    if (c.content != nullptr) sandbox.write("/tmp/in.txt", c.content);
    sandbox.write("/tmp/update.log", "");
    char buffer[8] = {};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(c.result, upd::readFileToBuffer("/tmp/in.txt", 5, buffer));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.stored, std::string(buffer));
    EXPECT_EQ(c.reported, statusFile());
  }
}

// In place whatever the file's length: only the last n bytes change.
TEST_F(FileUtilTest, ChangeLastBytesRewritesOnlyTheEndOfALongFile) {
  const std::string before =
      std::string(20000, 'a') + "Update skq Software:   started ...   0 percent ";
  sandbox.write("/tmp/update.log", before);
  EXPECT_EQ(12u, upd::changeLastBytesInFile("/tmp/update.log", " 42 percent ", 12));
  const std::string after = statusFile();
  EXPECT_EQ(before.size(), after.size());
  EXPECT_TRUE(after == before.substr(0, before.size() - 12) + " 42 percent ");

  sandbox.write("/tmp/short.txt", "ab");
  EXPECT_EQ(4u, upd::changeLastBytesInFile("/tmp/short.txt", "wxyz", 4));
  EXPECT_EQ("wxyz", sandbox.read("/tmp/short.txt"));
}

// A figure replaces the one written last only while nothing follows it and
// it has the same length; otherwise it is appended.
TEST_F(FileUtilTest, ProgressFigureNeverOverwritesOtherText) {
  const std::string line = "Update skq Software:   started ... ";
  sandbox.write("/tmp/update.log", line);
  upd::appendProgressFigure("  0 percent ", 12);
  upd::showProgressFigure(" 33 percent ", 12);
  EXPECT_EQ(line + " 33 percent ", statusFile());
  upd::writeFile("/tmp/update.log", "a", "unknown message from socket \n", 29);
  upd::showProgressFigure(" 66 percent ", 12);
  upd::showProgressFigure("100 percent ", 12);
  upd::showProgressFigure("12.5 percent ", 13);
  EXPECT_EQ(line + " 33 percent unknown message from socket \n100 percent 12.5 percent ",
            statusFile());
}

TEST_F(FileUtilTest, ChangeLastBytesOnMissingFileCreatesNothing) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(0u, upd::changeLastBytesInFile("/tmp/none.txt", "x", 1));
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(sandbox.exists("/tmp/none.txt"));
}

}  // namespace
