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
    std::string content;
    size_t size;
    std::string stored;
    bool reported;
  };
  const Case cases[] = {
      {"12345", 5, "12345", false},
      {"123456", 5, "12345", true},
      {"", 5, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    sandbox.write("/tmp/in.txt", c.content);
    sandbox.write("/tmp/update.log", "");
    char buffer[8] = {};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(1, upd::readFileToBuffer("/tmp/in.txt", c.size, buffer));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.stored, std::string(buffer));
    EXPECT_EQ(c.reported ? "No more place in read buffer !!\n" : "", statusFile());
  }
}

TEST_F(FileUtilTest, ReadFileToBufferMissingFile) {
  char buffer[4] = {};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(-1, upd::readFileToBuffer("/tmp/missing", sizeof buffer, buffer));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos,
            err.find("open error file /tmp/missing: 0x02 No such file or directory"));
}

TEST_F(FileUtilTest, ChangeLastBytesReplacesTheFigureOnly) {
  std::string before = "Update skq Software:   started ...   0 percent ";
  sandbox.write("/tmp/update.log", before);
  char figure[13];
  std::snprintf(figure, sizeof figure, "%3d percent ", 42);
  EXPECT_EQ(before.size(), upd::changeLastBytesInFile("/tmp/update.log", figure, 12));
  EXPECT_EQ("Update skq Software:   started ...  42 percent ", statusFile());
}

TEST_F(FileUtilTest, ChangeLastBytesOnShortAndLongFiles) {
  sandbox.write("/tmp/short.txt", "ab");
  EXPECT_EQ(4u, upd::changeLastBytesInFile("/tmp/short.txt", "wxyz", 4));
  EXPECT_EQ("wxyz", sandbox.read("/tmp/short.txt"));

  sandbox.write("/tmp/long.txt", std::string(10005, 'a'));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(10000u, upd::changeLastBytesInFile("/tmp/long.txt", "ZZ", 2));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string(9998, 'a') + "ZZ", sandbox.read("/tmp/long.txt"));
  EXPECT_EQ("No more place in read buffer !!\n", statusFile());
}

TEST_F(FileUtilTest, ChangeLastBytesOnMissingFileCreatesNothing) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(0u, upd::changeLastBytesInFile("/tmp/none.txt", "x", 1));
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(sandbox.exists("/tmp/none.txt"));
}

}  // namespace
