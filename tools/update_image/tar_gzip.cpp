// ustar writing and streaming reading inside gzip data; see tar_gzip.h.
#include "update_image/tar_gzip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace updimage {
namespace {

constexpr size_t blockSize = 512;
constexpr size_t outSize = 65536;
constexpr int gzipWindow = 15 + 16;  // zlib: a gzip wrapper around deflate data
constexpr int gzipOsUnix = 3;

// ustar header fields: offset and width.
struct Field {
  size_t offset;
  size_t width;
};
constexpr Field nameField{0, 100};
constexpr Field modeField{100, 8};
constexpr Field uidField{108, 8};
constexpr Field gidField{116, 8};
constexpr Field sizeField{124, 12};
constexpr Field timeField{136, 12};
constexpr Field checksumField{148, 8};
constexpr size_t typeOffset = 156;
constexpr Field linkField{157, 100};
constexpr Field magicField{257, 8};  // "ustar\0" and version "00"
constexpr Field prefixField{345, 155};

// A number in the field's width: octal digits, zero-filled, and a NUL; a
// value too large for them in the base-256 form (first byte 0x80, then the
// value big-endian), which getNumber reads too. Never cut short.
void putOctal(uint8_t* block, Field field, uint64_t value) {
  uint8_t* p = block + field.offset;
  const size_t digits = field.width - 1;
  if (digits * 3 >= 64 || value >> (digits * 3) == 0) {
    for (size_t i = digits; i-- > 0; value >>= 3) p[i] = static_cast<uint8_t>('0' + (value & 7));
    p[digits] = '\0';
    return;
  }
  p[0] = 0x80;
  for (size_t i = field.width; i-- > 1; value >>= 8) p[i] = static_cast<uint8_t>(value & 0xFF);
}

void putText(uint8_t* block, Field field, const std::string& text) {
  std::memcpy(block + field.offset, text.data(), std::min(text.size(), field.width));
}

std::string getText(const uint8_t* block, Field field) {
  const char* text = reinterpret_cast<const char*>(block + field.offset);
  return std::string(text, strnlen(text, field.width));
}

// An octal number (blanks and NULs around it), or the base-256 form of
// large values (high bit of the first byte set). False when it is neither.
bool getNumber(const uint8_t* block, Field field, uint64_t* value) {
  const uint8_t* p = block + field.offset;
  *value = 0;
  if (p[0] & 0x80) {
    for (size_t i = 1; i < field.width; ++i) {
      if (*value >> 56) return false;
      *value = *value << 8 | p[i];
    }
    return (p[0] & 0x7F) == 0;
  }
  size_t i = 0;
  while (i < field.width && p[i] == ' ') ++i;
  bool digits = false;
  for (; i < field.width && p[i] >= '0' && p[i] <= '7'; ++i) {
    *value = *value << 3 | static_cast<uint64_t>(p[i] - '0');
    digits = true;
  }
  for (; i < field.width; ++i)
    if (p[i] != ' ' && p[i] != '\0') return false;
  return digits;
}

// The header checksum: the sum of the block's bytes with the checksum field
// taken as blanks.
uint64_t headerSum(const uint8_t* block) {
  uint64_t sum = 0;
  for (size_t i = 0; i < blockSize; ++i)
    sum += (i >= checksumField.offset && i < checksumField.offset + checksumField.width) ? ' '
                                                                                         : block[i];
  return sum;
}

uint64_t padding(uint64_t size) { return (blockSize - size % blockSize) % blockSize; }

// Types whose size field announces no data.
bool carriesNoData(char type) { return type >= '1' && type <= '6'; }

}  // namespace

Bytes makeTar(const std::vector<std::pair<TarMember, Bytes>>& members) {
  Bytes tar;
  for (const auto& [member, data] : members) {
    uint8_t block[blockSize] = {};
    putText(block, nameField, member.name);
    putOctal(block, modeField, member.mode);
    putOctal(block, uidField, 0);
    putOctal(block, gidField, 0);
    putOctal(block, sizeField, data.size());
    putOctal(block, timeField, member.time);
    block[typeOffset] = static_cast<uint8_t>(member.type);
    std::memcpy(block + magicField.offset,
                "ustar\0"
                "00",
                magicField.width);
    std::snprintf(reinterpret_cast<char*>(block + checksumField.offset), checksumField.width,
                  "%06llo", static_cast<unsigned long long>(headerSum(block)));
    block[checksumField.offset + 7] = ' ';
    tar.insert(tar.end(), block, block + blockSize);
    tar.insert(tar.end(), data.begin(), data.end());
    tar.resize(tar.size() + padding(data.size()), 0);
  }
  tar.resize(tar.size() + 2 * blockSize, 0);
  return tar;
}

bool gzipBytes(const Bytes& bytes, Bytes* out) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, gzipWindow, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  gz_header header{};
  header.os = gzipOsUnix;
  header.time = 0;
  bool good = deflateSetHeader(&zs, &header) == Z_OK;
  out->assign(deflateBound(&zs, bytes.size()) + 32, 0);
  zs.next_in = const_cast<Bytef*>(bytes.data());
  zs.avail_in = static_cast<uInt>(bytes.size());
  zs.next_out = out->data();
  zs.avail_out = static_cast<uInt>(out->size());
  good = good && deflate(&zs, Z_FINISH) == Z_STREAM_END;
  out->resize(zs.total_out);
  deflateEnd(&zs);
  return good;
}

PackageReader::PackageReader(TarSink* sink) : sink_(sink), out_(new uint8_t[outSize]) {
  if (inflateInit2(&zs_, gzipWindow) != Z_OK) {
    stopped_ = true;
    addFinding(&findings_, Severity::Error, "", 0, "cannot set up zlib's inflate");
  }
}

PackageReader::~PackageReader() {
  if (zs_.state != nullptr) inflateEnd(&zs_);
}

void PackageReader::fail(const std::string& message) {
  if (!stopped_) addFinding(&findings_, Severity::Error, "", 0, message);
  stopped_ = true;
}

void PackageReader::feed(const uint8_t* bytes, size_t length) {
  if (streamEnded_) {
    trailing_ += length;
    return;
  }
  if (stopped_) return;
  zs_.next_in = const_cast<Bytef*>(bytes);
  zs_.avail_in = static_cast<uInt>(length);
  while (zs_.avail_in > 0 && !stopped_) {
    zs_.next_out = out_.get();
    zs_.avail_out = outSize;
    int status = inflate(&zs_, Z_NO_FLUSH);
    const size_t produced = outSize - zs_.avail_out;
    unpacked_ += produced;
    tarBytes(out_.get(), produced);
    if (status == Z_STREAM_END) {
      streamEnded_ = true;
      trailing_ += zs_.avail_in;
      return;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      fail(std::string("gzip data damaged: ") + (zs_.msg != nullptr ? zs_.msg : "inflate failed"));
      return;
    }
    if (status == Z_BUF_ERROR && produced == 0) return;
  }
}

void PackageReader::finish() {
  if (!streamEnded_) {
    fail("gzip data ends early; the package is cut short");
    return;
  }
  if (trailing_ > 0)
    addFinding(&findings_, Severity::Warning, "", 0,
               std::to_string(trailing_) + " bytes after the end of the gzip data");
  if (blockHave_ > 0 || dataLeft_ > 0 || padLeft_ > 0)
    fail(current_.empty() ? "the tar data ends inside a member header"
                          : "the tar data ends inside member " + current_);
}

void PackageReader::tarBytes(const uint8_t* bytes, size_t length) {
  while (length > 0 && !stopped_ && !tarEnded_) {
    if (dataLeft_ > 0) {
      size_t piece = dataLeft_ < length ? static_cast<size_t>(dataLeft_) : length;
      sink_->data(bytes, piece);
      dataLeft_ -= piece;
      bytes += piece;
      length -= piece;
    } else if (padLeft_ > 0) {
      size_t piece = padLeft_ < length ? static_cast<size_t>(padLeft_) : length;
      padLeft_ -= piece;
      bytes += piece;
      length -= piece;
    } else {
      size_t piece = std::min(blockSize - blockHave_, length);
      std::memcpy(block_ + blockHave_, bytes, piece);
      blockHave_ += piece;
      bytes += piece;
      length -= piece;
      if (blockHave_ == blockSize) {
        blockHave_ = 0;
        header();
      }
    }
  }
}

void PackageReader::header() {
  bool zero = true;
  for (uint8_t byte : block_) zero &= byte == 0;
  if (zero) {
    tarEnded_ = true;  // the end of the archive; what follows is padding
    return;
  }
  const std::string after = current_.empty() ? "at its start" : "after member " + current_;
  uint64_t checksum = 0;
  if (!getNumber(block_, checksumField, &checksum) || checksum != headerSum(block_)) {
    fail("the tar data is damaged " + after + " (header checksum)");
    return;
  }
  TarMember member;
  member.name = getText(block_, nameField);
  if (std::memcmp(block_ + magicField.offset, "ustar\0", 6) == 0) {
    std::string prefix = getText(block_, prefixField);
    if (!prefix.empty()) member.name = prefix + "/" + member.name;
  }
  member.type = block_[typeOffset] == 0 ? '0' : static_cast<char>(block_[typeOffset]);
  member.linkTarget = getText(block_, linkField);
  uint64_t mode = 0;
  uint64_t time = 0;
  if (!getNumber(block_, modeField, &mode) || !getNumber(block_, sizeField, &member.size) ||
      !getNumber(block_, timeField, &time)) {
    fail("the tar data is damaged " + after + " (header fields)");
    return;
  }
  member.mode = static_cast<uint32_t>(mode & 07777);
  member.time = static_cast<uint32_t>(time);
  if (carriesNoData(member.type)) member.size = 0;
  current_ = member.name;
  dataLeft_ = member.size;
  padLeft_ = padding(member.size);
  sink_->member(member);
}

}  // namespace updimage
