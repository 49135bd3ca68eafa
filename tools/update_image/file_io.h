// Files in and out. Output is never left half-written: a file goes to a
// temporary file beside it and is renamed into place when complete; a
// folder is filled under a temporary name and renamed likewise. Whatever is
// not committed is removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace updimage {

// Reads the first limit bytes of a file (all of it with SIZE_MAX) into
// *bytes. False with *error (the path and the system's reason).
bool readFileStart(const std::string& path, size_t limit, std::string* bytes, std::string* error);

// mode as the umask leaves it for a file created now.
uint32_t withUmask(uint32_t mode);

// A file written under a temporary name, with the given mode once committed.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Each returns false with *error (a path and the system's reason).
  bool open(const std::string& path, uint32_t mode, std::string* error);
  bool write(const uint8_t* bytes, size_t length, std::string* error);
  bool commit(std::string* error);
  bool isOpen() const { return fd_ >= 0; }

 private:
  std::string path_;
  std::string temporary_;
  uint32_t mode_ = 0;
  int fd_ = -1;
};

// Writes bytes to path through OutputFile.
bool writeWholeFile(const std::string& path, const uint8_t* bytes, size_t length,
                    std::string* error);

class OutputFolder {
 public:
  OutputFolder() = default;
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // path must not exist, or be an empty folder.
  bool open(const std::string& path, std::string* error);
  const std::string& temporary() const { return temporary_; }
  bool commit(std::string* error);

 private:
  std::string path_;
  std::string temporary_;
};

// Whether path (which need not exist) would lie inside folder, or be it.
bool liesInside(const std::string& path, const std::string& folder);
// Whether both paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace updimage
