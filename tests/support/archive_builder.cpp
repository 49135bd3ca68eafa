#include "archive_builder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr uint8_t singleImageType = 2;
constexpr uint8_t multiImageType = 4;

}  // namespace

uint32_t referenceCrc32(const uint8_t* data, size_t length) {
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    reg ^= data[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
  }
  return ~reg;
}

uint32_t readBe32(const Bytes& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("readBe32 past the end");
  return static_cast<uint32_t>(bytes[offset]) << 24 |
         static_cast<uint32_t>(bytes[offset + 1]) << 16 |
         static_cast<uint32_t>(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

void writeBe32(Bytes& bytes, size_t offset, uint32_t value) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("writeBe32 past the end");
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void resealHeader(Bytes& image) {
  writeBe32(image, 4, 0);
  writeBe32(image, 4, referenceCrc32(image.data(), 64));
}

void resealImage(Bytes& image) {
  writeBe32(image, 12, static_cast<uint32_t>(image.size() - 64));
  writeBe32(image, 24, referenceCrc32(image.data() + 64, image.size() - 64));
  resealHeader(image);
}

Bytes makeImage(const Bytes& data, uint8_t imageType, const std::string& name) {
  Bytes image(64, 0);
  writeBe32(image, 0, 0x11092001u);
  writeBe32(image, 8, 0x3C000000u);  // a load address, not examined
  writeBe32(image, 16, 0x00000000u);
  writeBe32(image, 20, 0x00000000u);
  image[28] = 5;  // operating system, not examined
  image[29] = 7;  // architecture, not examined
  image[30] = imageType;
  image[31] = 0;
  for (size_t i = 0; i < name.size() && i < 32; ++i) image[32 + i] = static_cast<uint8_t>(name[i]);
  image.insert(image.end(), data.begin(), data.end());
  resealImage(image);
  return image;
}

Bytes wrapImage(const Bytes& software, const std::string& name) {
  return makeImage(software, singleImageType, name);
}

Bytes multiFileData(const std::vector<Bytes>& subImages) {
  Bytes data(4 * (subImages.size() + 1), 0);
  for (size_t i = 0; i < subImages.size(); ++i)
    writeBe32(data, 4 * i, static_cast<uint32_t>(subImages[i].size()));
  for (const Bytes& sub : subImages) {
    data.insert(data.end(), sub.begin(), sub.end());
    while (data.size() % 4 != 0) data.push_back(0);
  }
  return data;
}

Bytes buildArchive(const Bytes& package, const Bytes& softwareImage, const std::string& name) {
  std::string text = "update archive: " + name + "\n";
  Bytes first(text.begin(), text.end());
  return makeImage(multiFileData({first, package, softwareImage}), multiImageType, name);
}

Bytes makePackage(const std::map<std::string, std::string>& files) {
  char templ[] = "/tmp/updpkg.XXXXXX";
  if (::mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  std::string folder = templ;
  ::mkdir((folder + "/update.d").c_str(), 0755);
  for (const auto& [name, content] : files) {
    std::string path = folder + "/update.d/" + name;
    if (content == fifoEntry) {
      ::mkfifo(path.c_str(), 0644);
      continue;
    }
    if (content.compare(0, symlinkEntry.size(), symlinkEntry) == 0) {
      if (::symlink(content.c_str() + symlinkEntry.size(), path.c_str()) != 0)
        throw std::runtime_error("symlink failed");
      continue;
    }
    {
      std::ofstream out(path, std::ios::binary);
      out << content;
    }
    // Scripts (the download tool) keep their execute permission in the tar.
    if (content.compare(0, 2, "#!") == 0) ::chmod(path.c_str(), 0755);
  }
  // Members owned by 0, as update_image writes them: the daemon's tar runs
  // as root and gives the files the owner they carry, which for anyone
  // else's (the tester's) fails in a root that maps only its own user.
  std::string command = "tar --owner=0 --group=0 --numeric-owner -C '" + folder +
                        "' -cf - update.d | gzip -n -c > '" + folder + "/package.tar.gz'";
  int status = std::system(command.c_str());
  std::ifstream in(folder + "/package.tar.gz", std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  std::string bytes = content.str();
  int ignored = std::system(("rm -rf '" + folder + "'").c_str());
  (void)ignored;
  if (status != 0 || bytes.empty()) throw std::runtime_error("tar or gzip failed");
  return Bytes(bytes.begin(), bytes.end());
}

std::map<std::string, std::string> examplePackage() {
  std::map<std::string, std::string> package;
  auto source = [](const std::string& relative) {
    std::ifstream in(std::string(UPDATE_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  };
  for (const char* name : {"updatetodo.txt", "VERSION", "pskeyorig.psr", "stack.dfu",
                           "linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"})
    package[name] = source(std::string("examples/package/") + name);
  package["dfu"] = source("sim/dfu_sim");
  return package;
}

Bytes exampleArchive(const std::map<std::string, std::string>& package) {
  return buildArchive(makePackage(package), wrapImage(patternBytes(196708, 7), "Linux skq 1.1.0"));
}

Bytes patternBytes(size_t length, uint32_t seed) {
  Bytes bytes(length);
  uint32_t state = seed;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

}  // namespace testsupport
