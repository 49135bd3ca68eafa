#include "log/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "test_support.h"

namespace {

using testsupport::Sandbox;

struct LogTest : ::testing::Test {
  Sandbox sandbox;
  void SetUp() override { testsupport::useInProcess(sandbox); }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
};

TEST(TimeStamp, CutsMillisecondsAndUsesUtc) {
  char stamp[13];
  // 1970-01-01 23:59:59.999500 UTC
  EXPECT_EQ(12, upd::formatTimeStamp(stamp, sizeof stamp, 86399, 999500));
  EXPECT_STREQ("23:59:59.999", stamp);
  upd::formatTimeStamp(stamp, sizeof stamp, 3600 + 62, 7000);
  EXPECT_STREQ("01:01:02.007", stamp);
  upd::formatTimeStamp(stamp, sizeof stamp, 1700000000, 123456);  // 2023-11-14
  EXPECT_STREQ("22:13:20.123", stamp);
}

int formatInto(char* out, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int formatInto(char* out, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = upd::formatText(out, size, format, args);
  va_end(args);
  return length;
}
// The handlers' formatter against the C library's.
#define EXPECT_FORMATS_AS_PRINTF(...)                  \
  do {                                                 \
    char ours[256];                                    \
    char theirs[256];                                  \
    formatInto(ours, sizeof ours, __VA_ARGS__);        \
    std::snprintf(theirs, sizeof theirs, __VA_ARGS__); \
    EXPECT_STREQ(theirs, ours);                        \
  } while (0)

// The handlers' formatter gives what printf gives for every conversion the
// daemon's messages use.
TEST(FormatText, AsPrintfForTheConversionsInUse) {
  EXPECT_FORMATS_AS_PRINTF("%d %i %u|%d", -42, 7, 4000000000u, -2147483647 - 1);
  EXPECT_FORMATS_AS_PRINTF("%02x %02X %06X %08x %04x %X", 5, 0xab, 0x20000, 0xdeadbeefu, 3, 0);
  EXPECT_FORMATS_AS_PRINTF("%3d%%|%08d|%-5d|%5.3d|%.0d|%*d|", 7, -123, 42, 7, 0, -4, 9);
  EXPECT_FORMATS_AS_PRINTF("%-22.22s|%-19.19s|%.*s|%5s|%-5s|%s|%c", "Update Trilo Firmware: x",
                           "skq", 4, "12.5% of", "ab", "ab", "", 'k');
  EXPECT_FORMATS_AS_PRINTF("%ld %03ld %llu %lld %zu", -1L, 7L, 18446744073709551615ull,
                           -9000000000000000000ll, static_cast<size_t>(12));
}

TEST(FormatText, CutsAndCountsLikeVsnprintf) {
  char text[5];
  EXPECT_EQ(12, formatInto(text, sizeof text, "%s%d", "abcdefghij", 42));
  EXPECT_STREQ("abcd", text);
}

TEST_F(LogTest, InfoAboveThresholdWritesNothing) {
  ::testing::internal::CaptureStderr();
  LOG_INFO(3, "detail %d\n", 1);
  EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
  EXPECT_FALSE(sandbox.exists("/tmp/update.log"));
}

TEST_F(LogTest, InfoLineFormat) {
  ::testing::internal::CaptureStderr();
  upd::logInfo(1, "src/x.cpp", "fn", 42, "value %d%%\n", 7);
  std::string line = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(line, ::testing::MatchesRegex("UPDATE_LOG-0\\.1\\.0 [0-9][0-9]:[0-9][0-9]:[0-9][0-9]"
                                            "\\.[0-9][0-9][0-9]: src/x\\.cpp fn line: 42: "
                                            "value 7%\n"));
  EXPECT_FALSE(sandbox.exists("/tmp/update.log"));
}

TEST_F(LogTest, ErrorAppendsBareTextAndKeepsPercent) {
  ::testing::internal::CaptureStderr();
  upd::logError(upd::Critical, "src/y.cpp", "g", 7, 106, 0, "%s", "50% done");
  upd::logError(upd::Warning, "src/y.cpp", "g", 8, 106, 0, "second\n");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("UPDATE_ERR-0.1.0 "));
  EXPECT_NE(std::string::npos, err.find(": src/y.cpp g line: 7: 50% done"));
  EXPECT_EQ("50% donesecond\n", statusFile());
}

TEST_F(LogTest, QuietErrorOnlyAppends) {
  ::testing::internal::CaptureStderr();
  upd::logError(upd::Critical, "f", "g", 1, 106, 1, "quiet\n");
  EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ("quiet\n", statusFile());
}

TEST_F(LogTest, LongMessageIsCutWithNotice) {
  std::string longText(1500, 'x');
  ::testing::internal::CaptureStderr();
  upd::logError(upd::Critical, "f", "g", 1, 106, 0, "%s", longText.c_str());
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, err.find("error message truncated. src/log/log.cpp logError line: "));
  EXPECT_EQ(std::string(1022, 'x'), statusFile());
  EXPECT_NE(std::string::npos, err.find(": f g line: 1: " + std::string(1022, 'x')));
  EXPECT_EQ(std::string::npos, err.find(std::string(1023, 'x')));
}

TEST_F(LogTest, UnwritableStatusFileIsReportedOnceWithoutRecursion) {
  // A folder where the status file should be: every append fails.
  ASSERT_EQ(0, ::mkdir(sandbox.path("/tmp/update.log").c_str(), 0755));
  ::testing::internal::CaptureStderr();
  upd::logError(upd::Critical, "f", "g", 1, 106, 0, "first\n");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("first\n"));
  EXPECT_NE(std::string::npos, err.find("open error file /tmp/update.log: 0x15 Is a directory"));
  size_t count = 0;
  for (size_t at = err.find("UPDATE_ERR-"); at != std::string::npos;
       at = err.find("UPDATE_ERR-", at + 1))
    ++count;
  EXPECT_EQ(2u, count);
}

}  // namespace
