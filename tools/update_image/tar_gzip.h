// The package's container: a ustar archive in gzip data, written and read
// with libarchive. The writer makes it reproducibly (members in the order
// given, owner and group 0, one time stamp, a gzip header without time
// stamp); the reader unpacks it piece by piece as its bytes arrive, so no
// more than a few buffers are held whatever its size.
#pragma once

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
  char type = '0';  // '0' file, '5' folder, '2' symbolic link, '1' hard link, '3'/'4'/'6' devices
  uint32_t mode = 0;
  uint64_t size = 0;
  uint32_t time = 0;
  std::string linkTarget;
  std::string format;  // "" for plain ustar, else the tar dialect that carried the member
};

// Whether a member name fits a ustar header: at most 100 bytes, or a
// folder part of at most 155 bytes, '/', and a last part of at most 100.
bool fitsUstarName(const std::string& name);

// The gzip-compressed ustar of the members (files and folders with their
// data), in the order given, each with its own mode and time stamp and
// owner 0, at zlib's best compression with gzip header time stamp 0, so the
// same members always give the same bytes. False and *error (the member
// and libarchive's reason) when a member cannot be written.
bool writePackage(const std::vector<std::pair<TarMember, Bytes>>& members, Bytes* out,
                  std::string* error);

// What the reader finds: the start of each member, then its data in pieces.
class TarSink {
 public:
  virtual ~TarSink() = default;
  virtual void member(const TarMember& member) = 0;
  virtual void data(const uint8_t* bytes, size_t length) = 0;
};

// Hands out the package's bytes in pieces: a piece of 0 bytes is its end.
class PackageSource {
 public:
  virtual ~PackageSource() = default;
  virtual size_t next(const uint8_t** bytes) = 0;
};

// Reads gzip data holding a tar. libarchive's gzip reader neither checks
// the CRC-32 and length that end the gzip data nor says whether bytes
// follow them; the reader does both.
class PackageReader {
 public:
  explicit PackageReader(TarSink* sink);
  ~PackageReader();
  PackageReader(const PackageReader&) = delete;
  PackageReader& operator=(const PackageReader&) = delete;

  // Reads from source to the end of the gzip data, or to the first damage.
  void read(PackageSource* source);
  // Damage that stops the reading: corrupt gzip data, a damaged tar
  // header, data that ends early (file ""). Warnings: bytes after the gzip
  // end.
  const Findings& findings() const { return findings_; }
  bool readable() const { return !hasErrors(findings_); }
  uint64_t unpackedSize() const { return unpacked_; }

  struct State;

 private:
  TarSink* sink_;
  Findings findings_;
  uint64_t unpacked_ = 0;
};

}  // namespace updimage
