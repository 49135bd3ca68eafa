// The start request's archive check and unpacking, and the shell words it
// runs, on the simulated board.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "admin_link/admin_link.h"
#include "archive_builder.h"
#include "image/image.h"
#include "sequencer/sequencer.h"
#include "test_support.h"

namespace {

using testsupport::useShellWords;

using testsupport::openDescriptors;

using testsupport::Bytes;
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
    useShellWords();
    upd::setAiDestination(upd::adminSocketPath);
    ASSERT_GE(upd::openAiSocket(upd::ownSocketPath), 0);
    // What beginUpdate leaves before it calls startUpdate.
    for (auto& step : upd::updatePlan) step = 0;
  }
  void TearDown() override {
    upd::closeAiSocket();
    upd::aiSocketFd = -1;
    if (!oldCwd.empty() && ::chdir(oldCwd.c_str()) != 0) ADD_FAILURE() << "chdir back";
  }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
};

TEST_F(ArchiveTest, GoodArchiveUnpacksItsPackageAndSendsNoReply) {
  Bytes archive = goodArchive();
  sandbox.write("/tmp/image", archive);
  EXPECT_EQ(1, upd::startUpdate());
  for (const auto& [name, content] : packageFiles)
    EXPECT_EQ(content, sandbox.read("/tmp/update.d/" + name)) << name;
  EXPECT_FALSE(sandbox.exists("/tmp/image1"));
  EXPECT_FALSE(sandbox.exists("/tmp/image1.gz"));
  EXPECT_EQ(testsupport::readBytes(sandbox.path("/tmp/image")), archive);  // left for the writer
  EXPECT_EQ("", statusFile());
  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  EXPECT_EQ(sandbox.root(), std::string(cwd));
  std::vector<uint8_t> datagram;
  EXPECT_FALSE(peer.receive(&datagram, 0.05));
}

TEST_F(ArchiveTest, PackageReplacesAnEarlierOneAndAnExistingPackageFileIsTruncated) {
  sandbox.write("/tmp/image1.gz", std::string(100000, 'x'));
  ::mkdir(sandbox.path("/tmp/update.d").c_str(), 0755);
  sandbox.write("/tmp/update.d/updatetodo.txt", "CHECK_VERSIONS\nBT_MOD_SET_READ\n");
  sandbox.write("/tmp/image", goodArchive());
  EXPECT_EQ(1, upd::startUpdate());
  EXPECT_EQ("LAP_SOFTWARE\n", sandbox.read("/tmp/update.d/updatetodo.txt"));
  EXPECT_FALSE(sandbox.exists("/tmp/image1.gz"));
  EXPECT_EQ("", statusFile());
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
    {"magic",
     [] {
       Bytes a = goodArchive();
       a[0] = 0x12;
       testsupport::resealHeader(a);
       return a;
     },
     "Bad Magic Number\n"},
    {"header checksum",
     [] {
       Bytes a = goodArchive();
       a[33] ^= 0x20;
       return a;
     },
     "Bad Header Checksum\n"},
    {"data size",
     [] {
       Bytes a = goodArchive();
       a.push_back(0);
       return a;
     },
     nullptr},  // the size message, computed from the header below
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
     nullptr},
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
    sandbox.write("/tmp/image", archive);
    int descriptors = openDescriptors();
    ::testing::internal::CaptureStderr();
    upd::beginUpdate();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err.find(" startUpdate line: ") != std::string::npos ||
                err.find(" checkHeader line: ") != std::string::npos)
        << err;
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
    EXPECT_EQ(0u, upd::updatePlan[0]);
    EXPECT_TRUE(sandbox.exists("/tmp/image"));
  }
}

// The daemon's command strings begin with a blank and a hyphen; the shell
// finds the words on its PATH.
TEST_F(ArchiveTest, ShellWordsRunAsTheDaemonWritesThem) {
  const std::string folder = sandbox.path("/tmp");
  testsupport::writeFile(folder + "/note.txt", "hello\n");
  ASSERT_EQ(0, std::system(("gzip -n '" + folder + "/note.txt'").c_str()));
  ASSERT_EQ(0, std::system((" -gunzip " + folder + "/note.txt.gz").c_str()));
  EXPECT_EQ("hello\n", sandbox.read("/tmp/note.txt"));
  EXPECT_FALSE(sandbox.exists("/tmp/note.txt.gz"));

  testsupport::writeFile(folder + "/package.tar.gz",
                         std::string(goodPackage().begin(), goodPackage().end()));
  ASSERT_EQ(0, std::system((" -gunzip " + folder + "/package.tar.gz").c_str()));
  ASSERT_EQ(0, std::system(("cd '" + folder + "' &&  -tar xf " + folder + "/package.tar").c_str()));
  EXPECT_EQ("LAP_SOFTWARE\n", sandbox.read("/tmp/update.d/updatetodo.txt"));

  ASSERT_EQ(0, std::system((" -rm " + folder + "/package.tar").c_str()));
  EXPECT_FALSE(sandbox.exists("/tmp/package.tar"));
  EXPECT_NE(0, std::system(" -tar cf /dev/null /etc/hostname 2>/dev/null"));
}

}  // namespace
