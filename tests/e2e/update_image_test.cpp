// update_image as a real program: create, wrap, list and verify on good and
// corrupt archives. Archives are checked with the tests' own reader and CRC.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::Process;
using testsupport::Sandbox;

constexpr double waitSeconds = 60;

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

struct UpdateImageTest : ::testing::Test {
  Sandbox sandbox;
  std::string work;

  void SetUp() override {
    work = sandbox.path("/tmp/pkg");
    ::mkdir(work.c_str(), 0755);
    ::mkdir((work + "/package").c_str(), 0755);
    testsupport::writeFile(work + "/package/updatetodo.txt", "CHECK_VERSIONS\nLAP_SOFTWARE\n");
    testsupport::writeFile(work + "/package/VERSION", "LAP_VERSION 1.1.0\n");
    testsupport::writeFile(work + "/package/pskeyorig.psr", "&0001 = 0002\r\n");
    software = testsupport::patternBytes(70001, 11);
    sandbox.write("/tmp/pkg/software.bin", software);
  }

  ToolRun run(const std::vector<std::string>& args) {
    Process tool(sandbox, "update_image", args);
    int status = tool.wait(waitSeconds);
    return {status, tool.out(), tool.err()};
  }

  Bytes created(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {
        "create", "--package",         work + "/package", "--software", work + "/software.bin",
        "-o",     work + "/update.img"};
    args.insert(args.end(), extra.begin(), extra.end());
    ToolRun result = run(args);
    EXPECT_EQ(0, result.status) << result.out << result.err;
    return testsupport::readBytes(work + "/update.img");
  }

  ToolRun verify(const Bytes& archive) {
    testsupport::writeFile(work + "/check.img", std::string(archive.begin(), archive.end()));
    return run({"verify", work + "/check.img"});
  }

  Bytes software;
};

Bytes slice(const Bytes& bytes, size_t offset, size_t length) {
  return Bytes(bytes.begin() + static_cast<long>(offset),
               bytes.begin() + static_cast<long>(offset + length));
}

// Offsets of the software image inside an archive made by the tool.
size_t softwareOffset(const Bytes& a) {
  size_t offset = 80;
  for (int k = 0; k < 2; ++k) offset += (testsupport::readBe32(a, 64 + 4 * k) + 3) / 4 * 4;
  return offset;
}

// The examined fields of a single software image around the bytes.
void expectSoftwareImage(const Bytes& image, const Bytes& software, const std::string& name) {
  ASSERT_EQ(software.size() + 64, image.size());
  EXPECT_EQ(software, slice(image, 64, software.size()));
  EXPECT_EQ(0x11092001u, testsupport::readBe32(image, 0));
  EXPECT_EQ(software.size(), testsupport::readBe32(image, 12));
  EXPECT_EQ(testsupport::referenceCrc32(software), testsupport::readBe32(image, 24));
  Bytes header = slice(image, 0, 64);
  testsupport::writeBe32(header, 4, 0);
  EXPECT_EQ(testsupport::referenceCrc32(header), testsupport::readBe32(image, 4));
  EXPECT_NE(4, image[30]);
  EXPECT_EQ(name, std::string(reinterpret_cast<const char*>(image.data() + 32), name.size()));
  EXPECT_EQ(Bytes(32 - name.size(), 0), slice(image, 32 + name.size(), 32 - name.size()));
}

TEST_F(UpdateImageTest, CreateWritesTheMultiFileArchive) {
  Bytes archive = created({"--name", "skq update 7", "--software-name", "Linux skq 1.1.0"});
  ASSERT_GE(archive.size(), 64u + 16u);
  // The outer header: magic, both checksums, size, type, name.
  EXPECT_EQ(0x11092001u, testsupport::readBe32(archive, 0));
  EXPECT_EQ(archive.size() - 64, testsupport::readBe32(archive, 12));
  EXPECT_EQ(testsupport::referenceCrc32(archive.data() + 64, archive.size() - 64),
            testsupport::readBe32(archive, 24));
  Bytes header = slice(archive, 0, 64);
  testsupport::writeBe32(header, 4, 0);
  EXPECT_EQ(testsupport::referenceCrc32(header), testsupport::readBe32(archive, 4));
  EXPECT_EQ(4, archive[30]);
  EXPECT_EQ("skq update 7", std::string(reinterpret_cast<const char*>(archive.data() + 32)));

  // Three sub-images and the zero word, each sub-image on a 4-byte boundary.
  ASSERT_EQ(0u, testsupport::readBe32(archive, 76));
  uint32_t sizes[3];
  size_t offsets[3];
  size_t offset = 80;
  for (int k = 0; k < 3; ++k) {
    sizes[k] = testsupport::readBe32(archive, 64 + 4 * k);
    ASSERT_GT(sizes[k], 0u);
    offsets[k] = offset;
    offset += (sizes[k] + 3) / 4 * 4;
  }
  EXPECT_EQ(archive.size(), offset);

  // Sub-image 1 is a gzip-compressed tar with the files under update.d/.
  Bytes package = slice(archive, offsets[1], sizes[1]);
  ASSERT_EQ(0x1F, package[0]);
  ASSERT_EQ(0x8B, package[1]);
  testsupport::writeFile(work + "/package.tgz", std::string(package.begin(), package.end()));
  ::mkdir((work + "/out").c_str(), 0755);
  ASSERT_EQ(0, std::system(("tar -C '" + work + "/out' -xzf '" + work + "/package.tgz'").c_str()));
  for (const char* name : {"updatetodo.txt", "VERSION", "pskeyorig.psr"})
    EXPECT_EQ(testsupport::readFile(work + "/package/" + name),
              testsupport::readFile(work + "/out/update.d/" + name))
        << name;

  // Sub-image 2 is the software image in its own header.
  EXPECT_EQ(offsets[2], softwareOffset(archive));
  expectSoftwareImage(slice(archive, offsets[2], sizes[2]), software, "Linux skq 1.1.0");
}

TEST_F(UpdateImageTest, ListShowsFieldsTableAndVerdicts) {
  Bytes archive = created();
  ToolRun list = run({"list", work + "/update.img"});
  EXPECT_EQ(0, list.status) << list.err;
  for (const std::string& line : std::vector<std::string>{
           "  magic          0x11092001 (good)\n", "  image type     4 (multi-file)\n",
           "  sub-images     3\n", "    0: offset 80, size ", ", update package\n",
           ", software image\n", "software image (sub-image 2): 70065 bytes\n",
           "  data size      70001 (good; 70001 bytes follow the header)\n",
           "  name           \"Linux LAP software\"\n", "  image type     2 (single image)\n",
           work + "/update.img: good\n"})
    EXPECT_NE(std::string::npos, list.out.find(line)) << line << "\n" << list.out;
  EXPECT_EQ(std::string::npos, list.out.find("BAD"));

  ToolRun check = run({"verify", work + "/update.img"});
  EXPECT_EQ(0, check.status);
  EXPECT_EQ(work + "/update.img: good\n", check.out);
}

TEST_F(UpdateImageTest, WrappedSoftwareIsTakenAsItIs) {
  ToolRun wrap = run({"wrap", "--software", work + "/software.bin", "-o", work + "/sw.img",
                      "--name", "Linux 2.4.4"});
  ASSERT_EQ(0, wrap.status) << wrap.err;
  Bytes wrapped = testsupport::readBytes(work + "/sw.img");
  expectSoftwareImage(wrapped, software, "Linux 2.4.4");
  ToolRun create = run({"create", "--package", work + "/package", "--software", work + "/sw.img",
                        "-o", work + "/update.img"});
  ASSERT_EQ(0, create.status) << create.err;
  Bytes archive = testsupport::readBytes(work + "/update.img");
  ASSERT_EQ(wrapped.size(), testsupport::readBe32(archive, 72));
  EXPECT_EQ(wrapped, slice(archive, softwareOffset(archive), wrapped.size()));
}

struct Corruption {
  const char* what;
  void (*corrupt)(Bytes& archive);
  const char* message;
};

const Corruption corruptions[] = {
    {"magic",
     [](Bytes& a) {
       a[1] = 0;
       testsupport::resealHeader(a);
     },
     "bad magic number"},
    {"header checksum", [](Bytes& a) { a[40] ^= 1; }, "archive: bad header checksum"},
    {"size", [](Bytes& a) { a.push_back(0); }, "archive: data size "},
    {"truncated", [](Bytes& a) { a.resize(a.size() / 2); }, "bytes after it"},
    {"data checksum", [](Bytes& a) { a[a.size() - 3] ^= 4; }, "archive: bad data checksum"},
    {"not multi-file",
     [](Bytes& a) {
       a[30] = 2;
       testsupport::resealHeader(a);
     },
     "is not a multi-file image"},
    {"no terminating zero word",
     [](Bytes& a) {
       a.resize(64 + 8);
       testsupport::resealImage(a);
     },
     "no terminating zero word"},
    {"one sub-image",
     [](Bytes& a) {
       a = testsupport::makeImage(testsupport::multiFileData({Bytes{0x1F, 0x8B}}), 4, "x");
     },
     "1 sub-images; an update archive needs at least 2"},
    {"sub-image outside",
     [](Bytes& a) {
       testsupport::writeBe32(a, 72, testsupport::readBe32(a, 72) + 8);
       testsupport::resealImage(a);
     },
     "archive: sub-image 2 ("},
    {"software image shorter than a header",
     [](Bytes& a) {
       a = testsupport::makeImage(
           testsupport::multiFileData({Bytes{1}, Bytes{0x1F, 0x8B, 8}, Bytes(63, 0)}), 4, "x");
     },
     "holds 63 bytes, less than an image header"},
    {"package not gzip",
     [](Bytes& a) {
       a[80 + 36] = 'P';
       a = testsupport::makeImage(Bytes(a.begin() + 64, a.end()), 4, "x");
     },
     "sub-image 1 (the update package) is not gzip data"},
    {"software image checksum",
     [](Bytes& a) {
       a[softwareOffset(a) + 100] ^= 1;
       testsupport::resealImage(a);
     },
     "software image (sub-image 2): bad data checksum"},
    {"software image name",
     [](Bytes& a) {
       size_t at = softwareOffset(a);
       Bytes image(a.begin() + static_cast<long>(at), a.end());
       image[32] = 'l';
       testsupport::resealHeader(image);
       std::copy(image.begin(), image.end(), a.begin() + static_cast<long>(at));
       testsupport::resealImage(a);
     },
     "does not begin with \"Linux\""},
};

TEST_F(UpdateImageTest, VerifyNamesWhatIsWrong) {
  const Bytes good = created({"--name", "LAP update archive!"});  // sub-image 0: 36 bytes
  ASSERT_EQ(35u, testsupport::readBe32(good, 64));
  for (const Corruption& c : corruptions) {
    SCOPED_TRACE(c.what);
    Bytes archive = good;
    c.corrupt(archive);
    ToolRun result = verify(archive);
    EXPECT_EQ(1, result.status) << result.out << result.err;
    EXPECT_NE(std::string::npos, result.out.find(work + "/check.img: bad: ")) << result.out;
    EXPECT_NE(std::string::npos, result.out.find(c.message)) << result.out;
    ToolRun list = run({"list", work + "/check.img"});
    EXPECT_EQ(1, list.status);
  }
}

TEST_F(UpdateImageTest, RefusesWhatTheDaemonWouldRefuse) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::string package = work + "/package";
  const std::string sw = work + "/software.bin";
  const std::string out = work + "/x.img";
  ::mkdir((work + "/empty").c_str(), 0755);
  const Case cases[] = {
      {{"create", "--package", package, "--software", sw, "-o", out, "--software-name", "vmlinux"},
       "does not begin with \"Linux\""},
      {{"create", "--package", package, "--software", sw, "-o", out, "--software-name",
        "Linux " + std::string(30, 'x')},
       "longer than 32 bytes"},
      {{"create", "--package", work + "/empty", "--software", sw, "-o", out},
       "has no updatetodo.txt"},
      {{"create", "--package", work + "/none", "--software", sw, "-o", out}, "does not exist"},
      {{"create", "--package", package, "--software", work + "/none.bin", "-o", out},
       "cannot read"},
      {{"verify", work + "/none.img"}, "cannot read"},
      {{"create", "--package", package, "-o", out}, "usage:"},
      {{"frobnicate"}, "unknown command"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.message);
    ToolRun result = run(c.args);
    EXPECT_NE(0, result.status);
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
    EXPECT_FALSE(sandbox.exists("/tmp/pkg/x.img"));
  }
}

}  // namespace
