// The start request on the simulated board: the archive check (the table and
// its bounds; the header check itself is image_header_test's), the reply to a
// rejected archive, and the unpacked package.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "admin_link/admin_link.h"
#include "archive_builder.h"
#include "sequencer/sequencer.h"
#include "test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::openDescriptors;
using testsupport::Sandbox;

const std::map<std::string, std::string> packageFiles = {
    {"updatetodo.txt", "LAP_SOFTWARE\n"},
    {"VERSION", "LAP_VERSION 2.0\n"},
    {"pskeyorig.psr", "&0001 = 0002\r\n"},
};

const Bytes& goodPackage() {
  static const Bytes package = testsupport::makePackage(packageFiles);
  return package;
}

Bytes goodArchive() {
  return testsupport::buildArchive(goodPackage(),
                                   testsupport::wrapImage(testsupport::patternBytes(300, 4)));
}

struct ArchiveTest : ::testing::Test {
  Sandbox sandbox;
  testsupport::AdminPeer peer{sandbox.root()};
  std::string oldCwd;

  void SetUp() override {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) oldCwd = cwd;
    testsupport::useInProcess(sandbox);
    testsupport::useShellWords();
    upd::setAiDestination(upd::adminSocketPath);
    ASSERT_GE(upd::openAiSocket(upd::ownSocketPath), 0);
    // No update runs: the empty plan makes the finish step current.
    upd::resetUpdateState();
    ::testing::internal::CaptureStdout();
    upd::nextUpdateStep("");
    ::testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    upd::closeAiSocket();
    if (!oldCwd.empty() && ::chdir(oldCwd.c_str()) != 0) ADD_FAILURE() << "chdir back";
  }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
  // The start request as the admin side sends it, its console listing kept out.
  void start(const Bytes& archive) {
    sandbox.write("/tmp/image", archive);
    ::testing::internal::CaptureStdout();
    upd::beginUpdate();
    ::testing::internal::GetCapturedStdout();
  }
};

// An earlier package file is replaced, the plan comes from the new package;
// the archive stays for the image writer, and nothing goes to the admin side.
TEST_F(ArchiveTest, GoodArchiveUnpacksItsPackageAndSendsNoReply) {
  sandbox.write("/tmp/image1.gz", std::string(100000, 'x'));
  ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  sandbox.write("/tmp/update.d/updatetodo.txt", "CHECK_VERSIONS\nBT_MOD_SET_READ\n");
  const Bytes archive = goodArchive();
  start(archive);
  for (const auto& [name, content] : packageFiles)
    EXPECT_EQ(content, sandbox.read("/tmp/update.d/" + name)) << name;
  EXPECT_FALSE(sandbox.exists("/tmp/image1"));
  EXPECT_FALSE(sandbox.exists("/tmp/image1.gz"));
  EXPECT_EQ(testsupport::readBytes(sandbox.path("/tmp/image")), archive);
  EXPECT_EQ("Update skq Software:   started ... ", statusFile());
  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  EXPECT_EQ(sandbox.root(), std::string(cwd));
  std::vector<uint8_t> datagram;
  EXPECT_FALSE(peer.receive(&datagram, 0.05));
}

struct BadArchive {
  const char* what;
  Bytes (*make)();
  const char* message;
};

Bytes withTable(const std::vector<Bytes>& subs, uint8_t type = 4) {
  return testsupport::makeImage(testsupport::multiFileData(subs), type, "archive");
}

const BadArchive badArchives[] = {
    {"data checksum",
     [] {
       Bytes a = goodArchive();
       a[a.size() - 1] ^= 1;
       return a;
     },
     "Bad Data Checksum\n"},
    {"truncated file",
     [] {
       Bytes a = goodArchive();
       a.resize(100);
       return a;
     },
     nullptr},  // the size message, computed from the header below
    {"shorter than a header", [] { return Bytes(63, 0x11); },
     "file /tmp/image to small (63 Bytes) !\n"},
    {"empty file", [] { return Bytes(); }, "file /tmp/image to small (0 Bytes) !\n"},
    {"single image",
     [] {
       return withTable({Bytes{1}, goodPackage(), testsupport::wrapImage(Bytes(10, 1))}, 2);
     },
     "update archive /tmp/image is not a multi-file image\n"},
    {"no terminating zero word",
     [] {
       return testsupport::makeImage(Bytes{0, 0, 0, 4, 0, 0, 0, 8}, 4, "archive");
     },
     "sub-image table of /tmp/image has no terminating zero word\n"},
    {"one sub-image", [] { return withTable({goodPackage()}); },
     "update archive /tmp/image holds 1 sub-images; at least 2 are needed\n"},
    {"empty table", [] { return withTable({}); },
     "update archive /tmp/image holds 0 sub-images; at least 2 are needed\n"},
    {"package outside the file",
     [] {
       Bytes a = withTable({Bytes{1}, Bytes(100, 7), Bytes(100, 8)});
       testsupport::writeBe32(a, 68, 0x7FFFFFF0u);
       testsupport::resealImage(a);
       return a;
     },
     "sub-image 1 of /tmp/image (2147483632 Bytes at offset 84) lies outside the file of 284 "
     "Bytes\n"},
    {"last sub-image outside the file",
     [] {
       Bytes a = withTable({Bytes{1}, Bytes(100, 7), Bytes(100, 8)});
       testsupport::writeBe32(a, 72, 101);
       testsupport::resealImage(a);
       return a;
     },
     "sub-image 2 of /tmp/image (101 Bytes at offset 184) lies outside the file of 284 Bytes\n"},
    {"last sub-image shorter than a header",
     [] {
       return withTable({Bytes{1}, goodPackage(), Bytes(63, 8)});
     },
     "software image in /tmp/image holds 63 Bytes; less than an image header\n"},
};

// A rejected archive: the reply with code 1 and "OK" and its NUL, the
// message in the status file, nothing unpacked and the earlier to-do list
// never read.
TEST_F(ArchiveTest, RejectedArchiveIsAnsweredAndNothingIsUnpacked) {
  ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  for (const BadArchive& bad : badArchives) {
    SCOPED_TRACE(bad.what);
    sandbox.write("/tmp/update.log", "");
    sandbox.write("/tmp/update.d/updatetodo.txt", "LAP_SOFTWARE\n");
    Bytes archive = bad.make();
    int descriptors = openDescriptors();
    start(archive);
    EXPECT_EQ(descriptors, openDescriptors());

    std::string expected = bad.message != nullptr
                               ? bad.message
                               : "image file size " + std::to_string(archive.size() - 64) +
                                     " not equal image data size " +
                                     std::to_string(testsupport::readBe32(archive, 12)) + "\n";
    EXPECT_EQ(expected, statusFile());

    std::vector<uint8_t> reply;
    ASSERT_TRUE(peer.receive(&reply, 2.0));
    ASSERT_EQ(64u, reply.size());
    EXPECT_EQ(64u, testsupport::word16(reply, 0));
    EXPECT_EQ(upd::AI_MSG_UPDATE_RSP, testsupport::word32(reply, 4));
    EXPECT_EQ(upd::UPD_CODE_START, testsupport::word32(reply, 8));
    EXPECT_EQ(3, reply[12]);
    EXPECT_EQ('O', reply[13]);
    EXPECT_EQ('K', reply[14]);
    EXPECT_EQ(0, reply[15]);

    EXPECT_FALSE(sandbox.exists("/tmp/image1.gz"));
    EXPECT_FALSE(sandbox.exists("/tmp/image1"));
    EXPECT_FALSE(sandbox.exists("/tmp/update.d/VERSION"));
    EXPECT_TRUE(sandbox.exists("/tmp/image"));
  }
}

}  // namespace
