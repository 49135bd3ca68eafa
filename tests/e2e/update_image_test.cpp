// update_image as a real program: what it refuses, what it reports, and the
// archives it builds. Archive bytes are checked with the tests' own reader,
// CRC and the system's tar.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "test_support.h"

#ifdef UPDATE_IMAGE_BUILT
#include <nlohmann/json.hpp>
#endif

namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::Process;
using testsupport::Sandbox;

constexpr double waitSeconds = 120;
constexpr uint32_t epoch = 1736244000;  // 2025-01-07 10:00:00 UTC

struct ToolRun {
  int status;
  std::string out;
  std::string err;
  long peakKiB;
};

void writeText(const std::string& path, const std::string& text) {
  testsupport::writeFile(path, text);
}
void appendText(const std::string& path, const std::string& text) {
  writeText(path, testsupport::readFile(path) + text);
}
void replaceText(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = testsupport::readFile(path);
  text.replace(text.find(from), from.size(), to);
  writeText(path, text);
}

Bytes slice(const Bytes& bytes, size_t offset, size_t length) {
  return Bytes(bytes.begin() + static_cast<long>(offset),
               bytes.begin() + static_cast<long>(offset + length));
}

// Offset and size of sub-image k of an archive of three.
std::pair<size_t, size_t> subImage(const Bytes& a, int k) {
  size_t offset = 80;
  for (int i = 0; i < k; ++i) offset += (testsupport::readBe32(a, 64 + 4 * i) + 3) / 4 * 4;
  return {offset, testsupport::readBe32(a, 64 + 4 * k)};
}

// The software image of the main job (scripts/run_update.sh).
Bytes mainJobSoftware() {
  std::string text;
  for (int line = 1; line <= 8000; ++line)
    text += "skq software image line " + std::to_string(line) + "\n";
  text.resize(204800);
  return Bytes(text.begin(), text.end());
}

class UpdateImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef UPDATE_IMAGE_BUILT
    GTEST_SKIP()
        << "update_image is not built for this target (no zlib, libarchive or nlohmann_json)";
#endif
    work = sandbox.path("/tmp/inputs");
    fs::create_directories(work);
    package = examplePackage("package");
    software = mainJobSoftware();
    sandbox.write("/tmp/inputs/software.bin", software);
  }

  // The example package with a stand-in download tool, as the main job
  // packs it.
  std::string examplePackage(const std::string& name) {
    const std::string folder = work + "/" + name;
    fs::copy(std::string(UPDATE_SOURCE_DIR) + "/examples/package", folder);
    writeText(folder + "/dfu", "#!/bin/sh\necho 100 > /tmp/dfu_status.log\n");
    ::chmod((folder + "/dfu").c_str(), 0755);
    return folder;
  }

  ToolRun run(const std::vector<std::string>& args) {
    Process tool(sandbox, "update_image", args);
    int status = tool.wait(waitSeconds);
    return {status, tool.out(), tool.err(), tool.peakResidentKiB()};
  }

  // create with the main job's names; the archive's bytes.
  Bytes create(const std::string& folder, const std::string& out,
               const std::string& softwarePath = "") {
    ToolRun r = run({"create", "--package", folder, "--software",
                     softwarePath.empty() ? work + "/software.bin" : softwarePath, "--name",
                     "skq update example", "--software-name", "Linux skq 1.1.0", "-o", out});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    return testsupport::readBytes(out);
  }

  Sandbox sandbox;
  std::string work;
  std::string package;
  Bytes software;
};

struct PackageDefect {
  const char* what;
  void (*make)(const std::string& folder);
  const char* finding;  // as printed after "FOLDER/"
};

const PackageDefect packageDefects[] = {
    {"misspelled step",
     [](const std::string& d) {
       replaceText(d + "/updatetodo.txt", "CHECK_VERSIONS", "CHECK_VERSION");
     },
     "updatetodo.txt:2: error: unknown step \"CHECK_VERSION\"; the daemon skips the line "
     "(did you mean CHECK_VERSIONS?)"},
    {"step after blanks",
     [](const std::string& d) {
       replaceText(d + "/updatetodo.txt", "BT_MOD_SET_READ", "  BT_MOD_SET_READ");
     },
     "updatetodo.txt:3: error: blanks before the step key"},
    {"21 steps",
     [](const std::string& d) {
       std::string plan;
       for (int i = 0; i < 21; ++i) plan += "LAP_SOFTWARE\n";
       writeText(d + "/updatetodo.txt", plan);
     },
     "updatetodo.txt:21: error: step 21: the daemon takes at most 20 steps"},
    {"no plan", [](const std::string& d) { fs::remove(d + "/updatetodo.txt"); },
     "updatetodo.txt: error: missing; without its plan the daemon does nothing"},
    {"no VERSION", [](const std::string& d) { fs::remove(d + "/VERSION"); },
     "VERSION: error: missing; CHECK_VERSIONS (updatetodo.txt line 2) needs it"},
    {"no software version",
     [](const std::string& d) { writeText(d + "/VERSION", "BTFIRMWARE=2.14\n"); },
     "VERSION: error: no LAP_VERSION line"},
    {"key file missing", [](const std::string& d) { fs::remove(d + "/pskeyorig.psr"); },
     "pskeyorig.psr: error: missing; BT_MOD_SET_COMP (updatetodo.txt line 4) needs it"},
    {"41 words",
     [](const std::string& d) {
       std::string line = "&0400 =";
       for (int i = 0; i < 41; ++i) line += " 0001";
       appendText(d + "/pskeyorig.psr", line + "\r\n");
     },
     "pskeyorig.psr:33: error: key line refused: more than 40 words"},
    {"word not hex",
     [](const std::string& d) { appendText(d + "/pskeyorig.psr", "&0400 = 0001 00x1\r\n"); },
     "pskeyorig.psr:33: error: key line refused: word 2 is not four hex digits"},
    {"keys out of order",
     [](const std::string& d) { replaceText(d + "/pskeyorig.psr", "&0011 =", "&0001 ="); },
     "pskeyorig.psr:6: error: key &0001 is not above &0003 (line 5); BT_MOD_SET_COMP needs "
     "ascending keys"},
    {"keys out of order, all written",
     [](const std::string& d) {
       replaceText(d + "/pskeyorig.psr", "&0011 =", "&0001 =");
       replaceText(d + "/updatetodo.txt", "BT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE",
                   "BT_MOD_SET_ALL_WRITE");
     },
     "pskeyorig.psr:6: warning: key &0001 is not above &0003 (line 5); a plan with "
     "BT_MOD_SET_COMP would fail here"},
    {"NUL byte in key file",
     [](const std::string& d) {
       replaceText(d + "/pskeyorig.psr", "&0002 = 0000", std::string("&0002 = 0\0", 10));
     },
     "pskeyorig.psr:4: error: a NUL byte at character 10; the daemon refuses a key file"},
    {"text in key file",
     [](const std::string& d) { appendText(d + "/pskeyorig.psr", "firmware 2.14\r\n"); },
     "pskeyorig.psr:33: error: neither a key line nor a comment"},
    {"dfu without run bit", [](const std::string& d) { ::chmod((d + "/dfu").c_str(), 0644); },
     "dfu: error: not executable (mode 0644)"},
    {"dfu not a program", [](const std::string& d) { writeText(d + "/dfu", "echo 100\n"); },
     "dfu: error: neither an ELF program nor a script beginning with \"#!\""},
    {"no firmware file", [](const std::string& d) { fs::remove(d + "/stack.dfu"); },
     "stack.dfu: error: missing; BT_MOD_SET_FIRM_STACK (updatetodo.txt line 6) needs it"},
    {"no driver", [](const std::string& d) { fs::remove(d + "/linabcsp_upChan.o"); },
     "linabcsp_upChan.o: error: missing; BT_MOD_SET_FIRM_STACK"},
    {"subfolder", [](const std::string& d) { fs::create_directory(d + "/drivers"); },
     "drivers: error: is a folder; the package holds only regular files"},
    {"absolute link",
     [](const std::string& d) { fs::create_symlink("/etc/passwd", d + "/passwd"); },
     "passwd: error: is a link to \"/etc/passwd\""},
    {"unplanned file", [](const std::string& d) { writeText(d + "/notes.txt", "x\n"); },
     "notes.txt: warning: not used by any planned step"},
    {"key line without CR",
     [](const std::string& d) { appendText(d + "/pskeyorig.psr", "&0400 = 0001\n"); },
     "pskeyorig.psr:33: warning: no CR LF at the line end"},
    {"version with CR LF",
     [](const std::string& d) { replaceText(d + "/VERSION", "1.1.0\n", "1.1.0\r\n"); },
     "VERSION:3: warning: line ends with CR LF"},
    {"text after a step key",
     [](const std::string& d) {
       replaceText(d + "/updatetodo.txt", "LAP_SOFTWARE", "LAP_SOFTWARE_2");
     },
     "updatetodo.txt:7: warning: \"LAP_SOFTWARE_2\" is taken as step LAP_SOFTWARE"},
    {"no firmware version key",
     [](const std::string& d) { replaceText(d + "/pskeyorig.psr", "&02a5 = ", "&02a6 = "); },
     "pskeyorig.psr: warning: no &02a5 line; the version check cannot read"},
    {"write without comparison",
     [](const std::string& d) { replaceText(d + "/updatetodo.txt", "BT_MOD_SET_COMP\n", ""); },
     "updatetodo.txt:4: warning: BT_MOD_SET_NEW_WRITE without BT_MOD_SET_COMP before it"},
};

TEST_F(UpdateImageTest, PackageCheckNamesEachDefect) {
  ToolRun good = run({"check", "--package", package});
  EXPECT_EQ(0, good.status);
  EXPECT_EQ(package + ": good\n", good.out);
  int n = 0;
  for (const PackageDefect& defect : packageDefects) {
    SCOPED_TRACE(defect.what);
    const std::string folder = examplePackage("defect" + std::to_string(++n));
    defect.make(folder);
    ToolRun r = run({"check", "--package", folder});
    const bool error = std::string(defect.finding).find(": error: ") != std::string::npos;
    EXPECT_EQ(error ? 1 : 0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find(folder + "/" + defect.finding)) << r.out;
  }
}

TEST_F(UpdateImageTest, CreateRefusesABadPackageAndVerifyFindsOneInside) {
  const std::string folder = examplePackage("broken");
  fs::remove(folder + "/VERSION");
  ToolRun r = run(
      {"create", "--package", folder, "--software", work + "/software.bin", "-o", work + "/x.img"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find(folder + "/VERSION: error: missing")) << r.err;
  EXPECT_FALSE(fs::exists(work + "/x.img"));

  // The same package, packed by other means: verify unpacks and checks it.
  Bytes archive = testsupport::buildArchive(
      testsupport::makePackage({{"updatetodo.txt", "CHECK_VERSIONS\nLAP_SOFTWARE\n"}}),
      testsupport::wrapImage(software));
  sandbox.write("/tmp/inputs/other.img", archive);
  r = run({"verify", work + "/other.img"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos,
            r.out.find(work + "/other.img: update.d/VERSION: error: missing; CHECK_VERSIONS"))
      << r.out;
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  writeText(path, std::string(bytes.begin(), bytes.end()));
}

TEST_F(UpdateImageTest, SoftwareImageRefusals) {
  // The image area of a 4 MiB flash: 0x3D0000 bytes; an image must be smaller.
  constexpr size_t area4MiB = 0x3D0000;
  const Bytes nine(9, 0);
  struct Case {
    const char* what;
    Bytes software;
    std::vector<std::string> extra;
    int status;
    const char* message;
    bool folder = false;  // a folder in the software's place
  };
  const Case cases[] = {
      {"empty file", {}, {}, 1, "holds no data"},
      {"folder", {}, {}, 1, "is a folder", true},
      {"image without data", testsupport::wrapImage({}, "Linux"), {}, 1, "holds no data"},
      {"image not named Linux", testsupport::wrapImage(nine, "vmlinux"), {}, 1,
       "name \"vmlinux\" does not begin with \"Linux\""},
      {"name given not Linux", nine, {"--software-name", "ramdisk"}, 2,
       "does not begin with \"Linux\""},
      {"name too long", nine, {"--software-name", "Linux " + std::string(27, 'x')}, 2,
       "longer than 32 bytes"},
      {"5 MB", Bytes(5000000, 0), {}, 1,
       "5000064 bytes fit the image area of no flash of 2 MiB, 4 MiB (at most 3997695 bytes)"},
      {"as large as the 4 MiB area", Bytes(area4MiB - 64, 0), {}, 1,
       "fit the image area of no flash"},
      {"one byte less", Bytes(area4MiB - 65, 0), {}, 0, "fits a flash of 4 MiB\n"},
      {"5 MB for an 8 MiB flash", Bytes(5000000, 0), {"--flash-size", "8"}, 0,
       "fits a flash of 8 MiB\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string input = work + "/sw" + std::to_string(++n);
    const std::string out = work + "/out" + std::to_string(n) + ".img";
    if (c.folder)
      fs::create_directory(input);
    else
      writeBytes(input, c.software);
    std::vector<std::string> args = {"create", "--package", package, "--software",
                                     input,    "-o",        out};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ToolRun r = run(args);
    EXPECT_EQ(c.status, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find(c.message)) << r.out << r.err;
    EXPECT_EQ(c.status == 0, fs::exists(out));
  }
}

TEST_F(UpdateImageTest, OutputTraps) {
  const std::string sw = work + "/software.bin";
  fs::create_directory_symlink(package, work + "/link");
  fs::create_directory(work + "/full");
  writeText(work + "/full/x", "");
  writeText(work + "/old.img", "old");
  const std::string broken = examplePackage("broken");
  fs::remove(broken + "/dfu");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {{"create", "--package", package, "--software", sw, "-o", package + "/u.img"},
       2,
       "lies inside the package folder"},
      {{"create", "--package", package, "--software", sw, "-o", work + "/link/u.img"},
       2,
       "lies inside the package folder"},
      {{"create", "--package", package, "--software", sw, "-o", sw}, 2, "is the software image"},
      {{"wrap", "--software", sw, "-o", sw}, 2, "is the software image"},
      {{"create", "--package", package, "--software", sw, "-o", work + "/none/u.img"},
       2,
       "/none/u.img: No such file or directory"},
      {{"create", "--package", broken, "--software", sw, "-o", work + "/old.img"},
       1,
       "old.img not written"},
      {{"extract", work + "/software.bin", "-o", work + "/full"}, 2, "full: Directory not empty"},
      {{"extract", work + "/software.bin", "-o", work + "/new"}, 1, "nothing extracted"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.message);
    ToolRun r = run(c.args);
    EXPECT_EQ(c.status, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
  }
  // Nothing half-written or left over; the inputs are as they were.
  EXPECT_EQ(software, testsupport::readBytes(sw));
  EXPECT_EQ("old", testsupport::readFile(work + "/old.img"));
  EXPECT_FALSE(fs::exists(work + "/new"));
  for (const std::string& folder : {work, package})
    for (const auto& item : fs::directory_iterator(folder))
      EXPECT_EQ(std::string::npos, item.path().filename().string().find(".tmp")) << item.path();
  EXPECT_FALSE(fs::exists(package + "/u.img"));
}

TEST_F(UpdateImageTest, SameInputsGiveTheSameBytes) {
  const Bytes first = create(package, work + "/a.img");
  // Other file times and permission bits, a second later.
  struct timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
  for (const auto& item : fs::directory_iterator(package)) ::utimes(item.path().c_str(), times);
  ::chmod((package + "/VERSION").c_str(), 0664);
  ::sleep(1);
  EXPECT_EQ(first, create(package, work + "/b.img"));
  EXPECT_EQ(0u, testsupport::readBe32(first, 8));

  ::setenv("SOURCE_DATE_EPOCH", std::to_string(epoch).c_str(), 1);
  const Bytes dated = create(package, work + "/c.img");
  ::setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
  ToolRun refused = run({"create", "--package", package, "--software", work + "/software.bin", "-o",
                         work + "/d.img"});
  ::unsetenv("SOURCE_DATE_EPOCH");
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("SOURCE_DATE_EPOCH \"yesterday\""));
  EXPECT_EQ(epoch, testsupport::readBe32(dated, 8));
  EXPECT_EQ(epoch, testsupport::readBe32(dated, subImage(dated, 2).first + 8));
  // Unpacked as the daemon unpacks it, with the device's shell words; the
  // tar members carry the time too (the tar restores it).
  auto [offset, size] = subImage(dated, 1);
  fs::create_directory(work + "/unpacked");
  sandbox.write("/tmp/inputs/unpacked/package.tar.gz", slice(dated, offset, size));
  const std::string words = std::string(UPDATE_BIN_DIR) + "/shell_words/";
  ASSERT_EQ(
      0, std::system(("cd '" + work + "/unpacked' && '" + words + "-gunzip' package.tar.gz && '" +
                      words + "-tar' xf package.tar && mv package.tar ..")
                         .c_str()));
  struct stat st;
  ASSERT_EQ(0, ::stat((work + "/unpacked/update.d/VERSION").c_str(), &st));
  EXPECT_EQ(static_cast<time_t>(epoch), st.st_mtime);
  // Owner and group 0 on every member.
  EXPECT_EQ(0, std::system(("test \"$(tar --numeric-owner -tvf '" + work +
                            "/package.tar' | awk '{print $2}' | sort -u)\" = 0/0")
                               .c_str()));
}

// The layout, read with the tests' own reader and CRC (the package, read
// back by extract and by the system's tar, below).
TEST_F(UpdateImageTest, CreateWritesTheMultiFileArchive) {
  const Bytes archive = create(package, work + "/u.img");
  ASSERT_GE(archive.size(), 80u);
  EXPECT_EQ(0x11092001u, testsupport::readBe32(archive, 0));
  EXPECT_EQ(archive.size() - 64, testsupport::readBe32(archive, 12));
  EXPECT_EQ(testsupport::referenceCrc32(archive.data() + 64, archive.size() - 64),
            testsupport::readBe32(archive, 24));
  Bytes header = slice(archive, 0, 64);
  testsupport::writeBe32(header, 4, 0);
  EXPECT_EQ(testsupport::referenceCrc32(header), testsupport::readBe32(archive, 4));
  EXPECT_EQ(4, archive[30]);
  ASSERT_EQ(0u, testsupport::readBe32(archive, 76));
  auto [swOffset, swSize] = subImage(archive, 2);
  EXPECT_EQ(archive.size(), swOffset + (swSize + 3) / 4 * 4);
  // The software image: FILE in the daemon's header; update_image also
  // fills fields the daemon does not examine (time, OS, architecture).
  const Bytes got = slice(archive, swOffset, swSize);
  Bytes expected = testsupport::wrapImage(software, "Linux skq 1.1.0");
  ASSERT_EQ(expected.size(), got.size());
  for (size_t i : {8, 16, 20, 28, 29, 31}) expected[i] = got[i];
  testsupport::resealHeader(expected);
  EXPECT_EQ(expected, got);
}

// Archives the daemon would refuse or that would fail on the device, each
// made from a good one; verify names the fault.
struct Corruption {
  const char* what;
  void (*corrupt)(Bytes& archive);
  const char* message;
};

void resealSubImage(Bytes& a, int k, void (*change)(Bytes& image)) {
  auto [offset, size] = subImage(a, k);
  Bytes image = slice(a, offset, size);
  change(image);
  std::copy(image.begin(), image.end(), a.begin() + static_cast<long>(offset));
  testsupport::resealImage(a);
}

const Corruption corruptions[] = {
    {"magic",
     [](Bytes& a) {
       a[1] = 0;
       testsupport::resealHeader(a);
     },
     "error: bad magic number 0x11002001, expected 0x11092001"},
    {"header checksum", [](Bytes& a) { a[40] ^= 1; }, "error: bad header checksum"},
    {"size", [](Bytes& a) { a.push_back(0); }, "error: data size "},
    {"data checksum", [](Bytes& a) { a[a.size() - 3] ^= 4; }, "error: bad data checksum"},
    {"single image",
     [](Bytes& a) {
       a[30] = 2;
       testsupport::resealHeader(a);
     },
     "error: image type 2, not a multi-file update archive"},
    {"no terminating zero word",
     [](Bytes& a) {
       a.resize(64 + 8);
       testsupport::resealImage(a);
     },
     "error: the sub-image table has no terminating zero word"},
    {"two sub-images",
     [](Bytes& a) {
       a = testsupport::makeImage(testsupport::multiFileData({Bytes{1}, Bytes{2}}), 4, "x");
     },
     "error: 2 sub-images; an update archive has at least 3"},
    {"sub-image outside",
     [](Bytes& a) {
       testsupport::writeBe32(a, 72, testsupport::readBe32(a, 72) + 8);
       testsupport::resealImage(a);
     },
     "error: sub-image 2 ("},
    {"package not gzip", [](Bytes& a) { resealSubImage(a, 1, [](Bytes& p) { p[0] = 'P'; }); },
     "package: error: gzip data damaged"},
    {"package damaged, checksums right",
     [](Bytes& a) { resealSubImage(a, 1, [](Bytes& p) { p[p.size() / 2] ^= 0x55; }); },
     "package: error: "},
    {"package cut short",
     [](Bytes& a) {
       auto [offset, size] = subImage(a, 1);
       Bytes p = slice(a, offset, size - 20);
       a = testsupport::buildArchive(p, slice(a, subImage(a, 2).first, subImage(a, 2).second));
     },
     "package: error: gzip data ends early"},
    {"software image checksum",
     [](Bytes& a) { resealSubImage(a, 2, [](Bytes& i) { i[100] ^= 1; }); },
     "software image (sub-image 2): error: bad data checksum"},
    {"software image name",
     [](Bytes& a) {
       resealSubImage(a, 2, [](Bytes& i) {
         i[32] = 'l';
         testsupport::resealHeader(i);
       });
     },
     "software image (sub-image 2): error: name \"linux skq 1.1.0\" does not begin with \"Linux\""},
};

TEST_F(UpdateImageTest, VerifyNamesWhatIsWrong) {
  const Bytes good = create(package, work + "/u.img");
  const std::string path = work + "/check.img";
  for (const Corruption& c : corruptions) {
    SCOPED_TRACE(c.what);
    Bytes archive = good;
    c.corrupt(archive);
    sandbox.write("/tmp/inputs/check.img", archive);
    ToolRun r = run({"verify", path});
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find(path + ": " + c.message)) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(path + ": bad (")) << r.out;
  }
}

TEST_F(UpdateImageTest, ExtractGivesBackWhatCreateTook) {
  ::setenv("SOURCE_DATE_EPOCH", std::to_string(epoch).c_str(), 1);
  // A file that spans many read pieces, under the longest name ustar holds.
  std::string noise(300000, '\0');
  uint32_t x = 1;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  const std::string longest(100, 'n');
  writeText(package + "/" + longest, noise);
  const Bytes archive = create(package, work + "/u.img");
  ToolRun r = run({"extract", work + "/u.img", "-o", work + "/out"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  size_t files = 0;
  for (const auto& item : fs::directory_iterator(package)) {
    const std::string name = item.path().filename();
    const std::string got = work + "/out/update.d/" + name;
    EXPECT_EQ(testsupport::readFile(item.path()), testsupport::readFile(got)) << name;
    struct stat st;
    ASSERT_EQ(0, ::stat(got.c_str(), &st));
    EXPECT_EQ(name == "dfu" ? 0755u : 0644u, st.st_mode & 0777) << name;
    ++files;
  }
  EXPECT_EQ(files, static_cast<size_t>(std::distance(fs::directory_iterator(work + "/out/update.d"),
                                                     fs::directory_iterator())));
  auto [offset, size] = subImage(archive, 2);
  EXPECT_EQ(slice(archive, offset, size), testsupport::readBytes(work + "/out/software.img"));
  // What extract gave back builds the same archive again.
  EXPECT_EQ(archive,
            create(work + "/out/update.d", work + "/again.img", work + "/out/software.img"));
  ::unsetenv("SOURCE_DATE_EPOCH");
  // One byte more does not fit: refused, never cut.
  writeText(package + "/" + longest + "n", "x");
  r = run({"check", "--package", package});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.out.find(longest + "n: error: a name of 101 bytes")) << r.out;
}

#ifdef UPDATE_IMAGE_BUILT
// The JSON of list, check and verify: valid for any file name, with the
// verdict and each finding's file, line and severity.
TEST_F(UpdateImageTest, JsonForScripts) {
  using nlohmann::json;
  writeText(package + "/caf\xe9", "x\n");
  create(package, work + "/u.img");
  ToolRun r = run({"list", work + "/u.img", "--json"});
  EXPECT_EQ(0, r.status) << r.err;
  const json listed = json::parse(r.out);  // refuses text that is not UTF-8
  EXPECT_EQ("caf\xef\xbf\xbd", listed["package"]["files"][2]["name"]);
  EXPECT_EQ("636166e9", listed["package"]["files"][2]["name_hex"]);
  EXPECT_EQ("update.d/caf\xef\xbf\xbd", listed["findings"][0]["file"]);
  EXPECT_EQ("good", listed["verdict"]);

  replaceText(package + "/updatetodo.txt", "CHECK_VERSIONS", "CHECK_VERSION");
  r = run({"check", "--package", package, "--json"});
  EXPECT_EQ(1, r.status);
  const json checked = json::parse(r.out);
  EXPECT_EQ(json({"package"}), checked["checked"]);
  EXPECT_EQ("bad", checked["verdict"]);
  const json expected = {{"severity", "error"},
                         {"file", package + "/updatetodo.txt"},
                         {"line", 2},
                         {"message",
                          "unknown step \"CHECK_VERSION\"; the daemon skips the line "
                          "(did you mean CHECK_VERSIONS?)"}};
  EXPECT_NE(checked["findings"].end(),
            std::find(checked["findings"].begin(), checked["findings"].end(), expected))
      << r.out;

  Bytes archive = testsupport::readBytes(work + "/u.img");
  archive[40] ^= 1;
  sandbox.write("/tmp/inputs/u.img", archive);
  r = run({"verify", work + "/u.img", "--json"});
  EXPECT_EQ(1, r.status);
  const json verified = json::parse(r.out);
  EXPECT_EQ(json({"header", "sub_images", "package", "software_image"}), verified["checked"]);
  EXPECT_EQ("", verified["findings"][0]["file"]);
  EXPECT_TRUE(verified["findings"][0]["line"].is_null());
  EXPECT_EQ(0u, verified["findings"][0]["message"].get<std::string>().find("bad header checksum"));
  EXPECT_EQ("bad", verified["verdict"]);
}
#endif

// The example archive as the main job builds it, listed against the kept
// texts in tests/e2e/expected/ (paths shown as WORK).
TEST_F(UpdateImageTest, ListShowsTheExampleArchive) {
  create(package, work + "/update.img");
  for (const char* format : {"txt", "json"}) {
    SCOPED_TRACE(format);
    std::vector<std::string> args = {"list", work + "/update.img"};
    if (std::string(format) == "json") args.push_back("--json");
    ToolRun r = run(args);
    EXPECT_EQ(0, r.status) << r.err;
    std::string shown = r.out;
    for (size_t at; (at = shown.find(work)) != std::string::npos;)
      shown.replace(at, work.size(), "WORK");
    const std::string expected =
        std::string(UPDATE_SOURCE_DIR) + "/tests/e2e/expected/update_image_list." + format;
    EXPECT_EQ(testsupport::readFile(expected), shown) << "expected text: " << expected;
  }
  // A single wrapped image is listed too.
  ASSERT_EQ(0, run({"wrap", "--software", work + "/software.bin", "-o", work + "/sw.img"}).status);
  ToolRun single = run({"list", work + "/sw.img"});
  EXPECT_EQ(0, single.status);
  EXPECT_NE(std::string::npos, single.out.find(work + "/sw.img: good\n")) << single.out;
  EXPECT_NE(std::string::npos, single.out.find("  type           2 (single image)\n"))
      << single.out;
  EXPECT_NE(std::string::npos,
            single.out.find("  flash 4 MiB    image area 3997696 bytes (3.8 MiB)  fits\n"))
      << single.out;
}

// verify reads a file of any size in pieces: its resident memory on a
// 1 GiB (sparse) archive stays near that on a small one.
TEST_F(UpdateImageTest, VerifyMemoryStaysBounded) {
  create(package, work + "/small.img");
  ToolRun small = run({"verify", work + "/small.img"});
  ASSERT_EQ(0, small.status) << small.out;

  Bytes header(64, 0);
  testsupport::writeBe32(header, 0, 0x11092001);
  constexpr uint64_t size = 1ull << 30;
  testsupport::writeBe32(header, 12, static_cast<uint32_t>(size - 64));
  header[30] = 4;
  testsupport::resealHeader(header);
  const std::string big = work + "/big.img";
  writeBytes(big, header);
  ASSERT_EQ(0, ::truncate(big.c_str(), static_cast<off_t>(size)));
  ToolRun r = run({"verify", big});
  EXPECT_EQ(1, r.status);
  // The data checksum needs every byte: the whole file was read.
  EXPECT_NE(std::string::npos, r.out.find(big + ": error: bad data checksum")) << r.out;
  EXPECT_GT(small.peakKiB, 0);
  EXPECT_LT(r.peakKiB, small.peakKiB + 8 * 1024) << "small archive: " << small.peakKiB << " KiB";
}

TEST_F(UpdateImageTest, CommandLineConventions) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;  // the beginning of standard output
    const char* err;  // a piece of standard error
  };
  const std::string sw = work + "/software.bin";
  const Case cases[] = {
      {{"--help"}, 0, "usage: update_image COMMAND", ""},
      {{"-h"}, 0, "usage: update_image COMMAND", ""},
      {{"create", "--help"}, 0, "usage: update_image create --package DIR", ""},
      {{"help", "extract"}, 0, "usage: update_image extract ARCHIVE -o DIR", ""},
      {{"--version"}, 0, "update_image ", ""},
      {{}, 2, "", "update_image: a command is required\n(see 'update_image --help')"},
      {{"frobnicate"}, 2, "", "unknown command \"frobnicate\""},
      {{"wrap", "--software", sw, "-o", work + "/w.img", "--software-name", "Linux"},
       2,
       "",
       "update_image: unknown option --software-name\n(see 'update_image wrap --help')"},
      {{"verify"}, 2, "", "ARCHIVE is required"},
      {{"verify", work + "/none.img"}, 2, "", "/none.img: No such file or directory"},
      {{"check", "--package", work + "/none"}, 2, "", "/none: No such file or directory"},
      {{"list", sw, "--flash-size", "0"}, 2, "", "--flash-size takes sizes in MiB"},
      {{"create", "--package=" + package, "--software=" + sw, "--output=" + work + "/eq.img"},
       0,
       "",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args[0] + " " + c.err);
    ToolRun r = run(c.args);
    EXPECT_EQ(c.status, r.status) << r.out << r.err;
    EXPECT_EQ(0u, r.out.find(c.out)) << r.out;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
  }
}

// Signing: the bytes signed are the package and the software image after
// their lengths; verify and list judge the signature as a device with the
// key does; a signature that does not verify is never added.
TEST_F(UpdateImageTest, SignedArchives) {
  const std::string keys = std::string(UPDATE_SOURCE_DIR) + "/tests/keys/";
  const std::string plainPath = work + "/plain.img", signedPath = work + "/signed.img";
  const Bytes plain = create(package, plainPath);
  ToolRun r = run({"sign", plainPath, "--key", keys + "test-signing-key.pem", "-o", signedPath});
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(0, run({"sign", signedPath, "--message-out", work + "/message.bin"}).status);
  const char domain[] = "update_process archive signature 1";
  Bytes message(domain, domain + sizeof domain);
  for (int k : {1, 2}) {
    const auto [offset, size] = subImage(plain, k);
    for (int shift = 56; shift >= 0; shift -= 8) message.push_back(uint8_t(uint64_t(size) >> shift));
    const Bytes part = slice(plain, offset, size);
    message.insert(message.end(), part.begin(), part.end());
  }
  EXPECT_EQ(message, testsupport::readBytes(work + "/message.bin"));

  const struct {
    std::string archive, key;
    int status;
    const char* text;
  } cases[] = {
      {plainPath, "test-signing-key.pub.pem", 1, ": error: archive not signed\n"},
      {signedPath, "test-signing-key.pub.pem", 0, "  sub-image 2  key id "},
      {signedPath, "test-unknown-key.pem", 1, ": error: archive signed by an unknown key "},
  };
  for (const auto& c : cases) {
    r = run({c.status == 0 ? "list" : "verify", c.archive, "--key", keys + c.key});
    EXPECT_EQ(c.status, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(c.text)) << r.out;
  }
#ifdef UPDATE_IMAGE_BUILT
  r = run({"verify", signedPath, "--json", "--key", keys + "test-signing-key.pub.pem"});
  const nlohmann::json verified = nlohmann::json::parse(r.out)["signature"];
  EXPECT_TRUE(verified["accepted"].get<bool>());
  EXPECT_EQ(verified["key_id"], verified["signatures"][0]["key_id"]);
  EXPECT_EQ("good", verified["signatures"][0]["verdict"]);
#endif
  sandbox.write("/tmp/inputs/zero.sig", Bytes(64, 0));
  r = run({"sign", plainPath, "--signature", work + "/zero.sig", "--key",
           keys + "test-signing-key.pub.pem", "-o", work + "/bad.img"});
  EXPECT_EQ(1, r.status);
  EXPECT_FALSE(fs::exists(work + "/bad.img"));
}

}  // namespace
