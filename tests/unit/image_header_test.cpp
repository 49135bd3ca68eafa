// CRC-32, the image header check and the sub-image table arithmetic.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "archive_builder.h"
#include "image/crc32.h"
#include "image/image.h"
#include "image/image_format.h"
#include "test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::Sandbox;

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(Crc32, CheckValue) {
  const Bytes check = textBytes("123456789");
  EXPECT_EQ(0xCBF43926u, upd::crc32(check.data(), check.size()));
  EXPECT_EQ(0u, upd::crc32(nullptr, 0));
}

// Every length from 0 to 300 at every alignment, and a few large buffers:
// the eight-byte method, the byte-wise table and a bit-by-bit reference agree.
TEST(Crc32, FastMethodEqualsTableMethodOnRandomBuffers) {
  std::mt19937 random(20240611u);
  Bytes buffer(1 << 20);
  for (auto& byte : buffer) byte = static_cast<uint8_t>(random());
  for (size_t length = 0; length <= 300; ++length) {
    for (size_t start = 0; start < 8; ++start) {
      const uint8_t* data = buffer.data() + start;
      uint32_t expected = upd::crc32Bytewise(data, length);
      ASSERT_EQ(expected, upd::crc32(data, length)) << "length " << length << " start " << start;
      ASSERT_EQ(expected, testsupport::referenceCrc32(data, length));
    }
  }
  for (size_t length : {4095u, 65536u, 65543u, 1u << 20}) {
    size_t start = buffer.size() - length;
    EXPECT_EQ(upd::crc32Bytewise(buffer.data() + start, length),
              upd::crc32(buffer.data() + start, length));
  }
}

TEST(Crc32, UpdateContinuesAcrossPieces) {
  Bytes data = testsupport::patternBytes(1000, 3);
  uint32_t whole = upd::crc32(data.data(), data.size());
  for (size_t cut : {0u, 1u, 7u, 8u, 513u, 1000u}) {
    uint32_t first = upd::crc32Update(0, data.data(), cut);
    EXPECT_EQ(whole, upd::crc32Update(first, data.data() + cut, data.size() - cut)) << cut;
  }
}

// Sub-image k starts past the header, the table with its zero word and the
// earlier sub-images, each rounded up to a multiple of 4 bytes.
TEST(ImageFormat, SubImageOffsetsArePaddedToFourBytes) {
  std::vector<Bytes> subs = {textBytes("abcde"), textBytes("0123456"), Bytes(64, 0xAB),
                             textBytes("z")};
  Bytes image =
      testsupport::makeImage(testsupport::multiFileData(subs), upd::IMAGE_TYPE_MULTI, "multi");
  bool terminated = false;
  ASSERT_EQ(4u, upd::countSubImages(image.data(), image.size(), &terminated));
  EXPECT_TRUE(terminated);
  const uint64_t expected[] = {84, 92, 100, 164};
  for (uint32_t k = 0; k < 4; ++k) {
    uint64_t offset = upd::subImageOffset(image.data(), 4, k);
    EXPECT_EQ(expected[k], offset) << "sub-image " << k;
    ASSERT_EQ(subs[k].size(), upd::subImageSize(image.data(), k));
    EXPECT_EQ(0, std::memcmp(subs[k].data(), image.data() + offset, subs[k].size()));
    EXPECT_TRUE(upd::subImageInside(image.data(), 4, k, image.size()));
  }
  EXPECT_EQ(168u, image.size());
  // One byte short: the last sub-image no longer fits.
  EXPECT_FALSE(upd::subImageInside(image.data(), 4, 3, image.size() - 4));
}

TEST(ImageFormat, TableWithoutZeroWordIsCountedInsideTheBufferOnly) {
  // Header and two non-zero words, nothing after them: no terminator.
  Bytes image = testsupport::makeImage(Bytes{0, 0, 0, 9, 0, 0, 0, 7}, 4, "cut");
  Bytes exact(image.begin(), image.end());  // exact size: ASan sees any read past it
  bool terminated = true;
  EXPECT_EQ(2u, upd::countSubImages(exact.data(), exact.size(), &terminated));
  EXPECT_FALSE(terminated);
  EXPECT_EQ(0u, upd::countSubImages(exact.data(), 66, &terminated));
  EXPECT_FALSE(terminated);
}

struct CheckHeaderTest : ::testing::Test {
  Sandbox sandbox;
  char name[upd::imageNameSize + 1];
  uint32_t count = 0xDEADu;
  void SetUp() override {
    testsupport::useInProcess(sandbox);
    std::memset(name, 'x', sizeof name);
  }
  int check(const Bytes& image) {
    Bytes exact(image);  // no slack after the image
    return upd::checkHeader(exact.data(), static_cast<uint32_t>(exact.size()), name, &count);
  }
  std::string statusFile() const { return sandbox.read("/tmp/update.log"); }
};

struct Corruption {
  const char* what;
  void (*corrupt)(Bytes& image);
  const char* message;
};

const Corruption corruptions[] = {
    {"magic",
     [](Bytes& i) {
       i[3] = 0x02;
       testsupport::resealHeader(i);
     },
     "Bad Magic Number\n"},
    {"magic byte order", [](Bytes& i) { testsupport::writeBe32(i, 0, 0x01200911u); },
     "Bad Magic Number\n"},
    {"header byte", [](Bytes& i) { i[40] ^= 1; }, "Bad Header Checksum\n"},
    {"header CRC over the field in place",
     [](Bytes& i) { testsupport::writeBe32(i, 4, testsupport::referenceCrc32(i.data(), 64)); },
     "Bad Header Checksum\n"},
    {"data size one more",
     [](Bytes& i) {
       testsupport::writeBe32(i, 12, testsupport::readBe32(i, 12) + 1);
       testsupport::resealHeader(i);
     },
     "image file size 10 not equal image data size 11\n"},
    // A wrong size is reported before, and instead of, a wrong data checksum.
    {"data size one less and data changed",
     [](Bytes& i) {
       i[70] ^= 0xFF;
       testsupport::writeBe32(i, 12, 9);
       testsupport::resealHeader(i);
     },
     "image file size 10 not equal image data size 9\n"},
    {"data byte", [](Bytes& i) { i[64] ^= 0x80; }, "Bad Data Checksum\n"},
    {"data checksum field",
     [](Bytes& i) {
       testsupport::writeBe32(i, 24, testsupport::readBe32(i, 24) ^ 1u);
       testsupport::resealHeader(i);
     },
     "Bad Data Checksum\n"},
    {"data checksum of no data",
     [](Bytes& i) {
       i.resize(64);
       testsupport::writeBe32(i, 12, 0);
       testsupport::resealHeader(i);
     },
     "Bad Data Checksum\n"},
    {"shorter than its header", [](Bytes& i) { i.resize(63); },
     "image of 63 Bytes is shorter than its header\n"},
};

TEST_F(CheckHeaderTest, EachFailureHasItsMessage) {
  for (const Corruption& c : corruptions) {
    sandbox.write("/tmp/update.log", "");
    Bytes image = testsupport::makeImage(textBytes("0123456789"), 2, "Linux");
    c.corrupt(image);
    EXPECT_EQ(-1, check(image)) << c.what;
    EXPECT_EQ(c.message, statusFile()) << c.what;
  }
}

// Good images: the sub-images counted before the zero word (none in a single
// image), and the name ended in the 33rd byte at the latest.
TEST_F(CheckHeaderTest, GoodImagesGiveTheirCountAndName) {
  const Bytes table =
      testsupport::multiFileData({textBytes("a"), textBytes("bb"), textBytes("ccc")});
  const std::string longName(32, 'N');
  struct Case {
    const char* what;
    Bytes image;
    uint32_t count;
    std::string name;
  };
  const Case cases[] = {
      {"single image", testsupport::makeImage(textBytes("data"), 2, "Linux-2.4.4 LAP"), 0,
       "Linux-2.4.4 LAP"},
      {"header only", testsupport::makeImage({}, 2, "empty"), 0, "empty"},
      {"name of 32 bytes", testsupport::makeImage(textBytes("x"), 2, longName), 0, longName},
      {"multi-file image", testsupport::makeImage(table, upd::IMAGE_TYPE_MULTI, "archive"), 3,
       "archive"},
      {"its data as a single image", testsupport::makeImage(table, 2, "single"), 0, "single"},
      {"table to the end of the image",
       testsupport::makeImage(Bytes{0, 0, 0, 1, 0, 0, 1, 0, 0}, upd::IMAGE_TYPE_MULTI, "open"), 2,
       "open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(1, check(c.image));
    EXPECT_EQ(c.count, count);
    EXPECT_EQ(c.name, std::string(name, c.name.size()));
    for (size_t i = c.name.size(); i <= upd::imageNameSize; ++i) EXPECT_EQ('\0', name[i]) << i;
  }
  EXPECT_EQ("", statusFile());
}

}  // namespace
