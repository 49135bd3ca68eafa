// Replays inputs through a harness without libFuzzer: every file in each
// folder given and every file given, once each, in name order.
// (Large-file calls: a 32-bit build reads a folder of a 64-bit file system.)
#define _FILE_OFFSET_BITS 64
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    DIR* folder = ::opendir(argv[i]);
    if (folder == nullptr) files.push_back(argv[i]);
    while (const dirent* entry = folder != nullptr ? ::readdir(folder) : nullptr)
      if (entry->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + entry->d_name);
    if (folder != nullptr) ::closedir(folder);
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) return std::fprintf(stderr, "%s FOLDER|FILE...: no inputs\n", argv[0]), 2;
  for (const std::string& name : files) {
    std::ifstream in(name, std::ios::binary);
    const std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), {}};
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", name.c_str(), input.size());
    if (!in.good() && !in.eof()) return std::fprintf(stderr, "cannot read %s\n", name.c_str()), 2;
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::fprintf(stderr, "%zu inputs replayed, every property held\n", files.size());
  return 0;
}
