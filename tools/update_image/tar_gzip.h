// The package's container: a ustar archive in gzip data. The writer makes it
// reproducibly (sorted members, owner and group 0, one time stamp, a gzip
// header without time stamp); the reader unpacks it piece by piece, so no
// more than a few buffers are held whatever its size.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "update_image/image_header.h"
#include "update_image/package_check.h"

namespace updimage {

struct TarMember {
  std::string name;
  char type = '0';  // '0' file, '5' folder, '2' symbolic link, '1' hard link, ...
  uint32_t mode = 0;
  uint64_t size = 0;
  uint32_t time = 0;
  std::string linkTarget;
};

// The tar of the members (each a file or folder with its data), in the
// order given, every member with the time stamp and owner 0; then the two
// zero blocks that end it.
Bytes makeTar(const std::vector<std::pair<TarMember, Bytes>>& members);
// gzip data of bytes at zlib's best compression, header time stamp 0 and
// OS "Unix", so the same bytes always give the same data. False on a zlib
// failure.
bool gzipBytes(const Bytes& bytes, Bytes* out);

// What the reader finds: the start of each member, then its data in pieces.
class TarSink {
 public:
  virtual ~TarSink() = default;
  virtual void member(const TarMember& member) = 0;
  virtual void data(const uint8_t* bytes, size_t length) = 0;
};

// Reads gzip data holding a tar, given in pieces of any size.
class PackageReader {
 public:
  explicit PackageReader(TarSink* sink);
  ~PackageReader();
  PackageReader(const PackageReader&) = delete;
  PackageReader& operator=(const PackageReader&) = delete;

  void feed(const uint8_t* bytes, size_t length);
  // The end of the gzip data: reports what is unfinished.
  void finish();
  // Damage that stops the reading: corrupt gzip data, a damaged tar header,
  // data that ends early (file ""). Warnings: bytes after the gzip end.
  const Findings& findings() const { return findings_; }
  bool readable() const { return !hasErrors(findings_); }
  uint64_t unpackedSize() const { return unpacked_; }

 private:
  void tarBytes(const uint8_t* bytes, size_t length);
  void header();
  void fail(const std::string& message);

  TarSink* sink_;
  z_stream zs_{};
  bool streamEnded_ = false;
  bool stopped_ = false;
  uint64_t trailing_ = 0;
  uint64_t unpacked_ = 0;
  Findings findings_;
  // tar state: a header block being gathered, or the data and padding of a member
  uint8_t block_[512];
  size_t blockHave_ = 0;
  uint64_t dataLeft_ = 0;
  uint64_t padLeft_ = 0;
  bool tarEnded_ = false;
  std::string current_;
  std::unique_ptr<uint8_t[]> out_;
};

}  // namespace updimage
