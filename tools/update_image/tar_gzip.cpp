// The package's ustar in gzip data through libarchive; see tar_gzip.h.
#include "update_image/tar_gzip.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <cstring>

namespace updimage {
namespace {

constexpr size_t nameWidth = 100;
constexpr size_t prefixWidth = 155;
constexpr size_t pieceSize = 65536;
// How many of the last package bytes are kept to find the gzip trailer:
// libarchive reads ahead by no more than a piece or two past it.
constexpr size_t keptTailSize = 4 * pieceSize;
constexpr size_t gzipTrailerSize = 8;  // CRC-32 and length, both little-endian

struct ArchiveCloser {
  void operator()(struct archive* a) const {
    if (a != nullptr) archive_read_free(a);
  }
};
struct WriterCloser {
  void operator()(struct archive* a) const {
    if (a != nullptr) archive_write_free(a);
  }
};
struct EntryFree {
  void operator()(struct archive_entry* e) const {
    if (e != nullptr) archive_entry_free(e);
  }
};
using ArchiveReader = std::unique_ptr<struct archive, ArchiveCloser>;

std::string reason(struct archive* a) {
  const char* text = archive_error_string(a);
  return text != nullptr ? text : "libarchive failed";
}

la_ssize_t appendBytes(struct archive*, void* client, const void* bytes, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  static_cast<Bytes*>(client)->insert(static_cast<Bytes*>(client)->end(), p, p + length);
  return static_cast<la_ssize_t>(length);
}

uint32_t readLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

char memberType(struct archive_entry* entry) {
  if (archive_entry_hardlink(entry) != nullptr) return '1';
  switch (archive_entry_filetype(entry)) {
    case AE_IFDIR:
      return '5';
    case AE_IFLNK:
      return '2';
    case AE_IFCHR:
      return '3';
    case AE_IFBLK:
      return '4';
    case AE_IFIFO:
    case AE_IFSOCK:
      return '6';
    default:
      return '0';
  }
}

}  // namespace

// The two readers: "gzip" takes the package's bytes and gives the
// uncompressed stream, which "tar" reads; on the way the stream's CRC-32 and
// length are taken, and the last package bytes kept for the gzip trailer.
struct PackageReader::State {
  PackageSource* source = nullptr;
  bool sourceEnded = false;
  uint64_t served = 0;  // package bytes handed to the gzip reader
  std::unique_ptr<uint8_t[]> tail{new uint8_t[keptTailSize]};
  ArchiveReader gzip{archive_read_new()};
  std::string gzipError;  // the gzip reader's failure, seen by the tar reader's source
  uint32_t crc = 0;
  uint64_t unpacked = 0;
  std::unique_ptr<uint8_t[]> piece{new uint8_t[pieceSize]};

  static la_ssize_t packageBytes(struct archive*, void* client, const void** bytes) {
    State* s = static_cast<State*>(client);
    if (s->sourceEnded) return 0;
    const uint8_t* p = nullptr;
    const size_t length = s->source->next(&p);
    if (length == 0) s->sourceEnded = true;
    for (size_t i = 0; i < length; ++i) s->tail[(s->served + i) % keptTailSize] = p[i];
    s->served += length;
    *bytes = p;
    return static_cast<la_ssize_t>(length);
  }

  static la_ssize_t tarBytes(struct archive*, void* client, const void** bytes) {
    State* s = static_cast<State*>(client);
    const la_ssize_t n = s->unpack();
    *bytes = s->piece.get();
    return n;
  }

  // The gzip reader's failure: cut short when it asked for bytes past the
  // package's end (it asks only once it has taken every byte before),
  // damaged otherwise.
  std::string gzipFailure() {
    if (sourceEnded) return "gzip data ends early; the package is cut short";
    return "gzip data damaged: " + reason(gzip.get());
  }

  // The next piece of the uncompressed stream into piece; 0 at its end.
  la_ssize_t unpack() {
    if (!gzipError.empty()) return ARCHIVE_FATAL;
    const la_ssize_t n = archive_read_data(gzip.get(), piece.get(), pieceSize);
    if (n < 0) {
      gzipError = gzipFailure();
      return ARCHIVE_FATAL;
    }
    crc = crcUpdate(crc, piece.get(), static_cast<size_t>(n));
    unpacked += static_cast<uint64_t>(n);
    return n;
  }
};

bool fitsUstarName(const std::string& name) {
  if (name.size() <= nameWidth) return true;
  for (size_t slash = name.find('/'); slash != std::string::npos && slash <= prefixWidth;
       slash = name.find('/', slash + 1)) {
    const size_t rest = name.size() - slash - 1;
    if (rest > 0 && rest <= nameWidth) return true;
  }
  return false;
}

bool writePackage(const std::vector<std::pair<TarMember, Bytes>>& members, Bytes* out,
                  std::string* error) {
  out->clear();
  std::unique_ptr<struct archive, WriterCloser> a(archive_write_new());
  std::unique_ptr<struct archive_entry, EntryFree> entry(archive_entry_new());
  if (!a || !entry) {
    *error = "libarchive could not start the package";
    return false;
  }
  // No blocking: the gzip data ends where the tar's two zero blocks end.
  if (archive_write_set_format_ustar(a.get()) != ARCHIVE_OK ||
      archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK ||
      archive_write_set_options(a.get(), "gzip:compression-level=9,gzip:!timestamp") !=
          ARCHIVE_OK ||
      archive_write_set_bytes_per_block(a.get(), 0) != ARCHIVE_OK ||
      archive_write_open(a.get(), out, nullptr, appendBytes, nullptr) != ARCHIVE_OK) {
    *error = "libarchive could not start the package: " + reason(a.get());
    return false;
  }
  for (const auto& [member, data] : members) {
    struct archive_entry* e = entry.get();
    archive_entry_clear(e);
    archive_entry_copy_pathname(e, member.name.c_str());
    archive_entry_set_filetype(e, member.type == '5' ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(e, member.mode);
    archive_entry_set_uid(e, 0);
    archive_entry_set_gid(e, 0);
    archive_entry_set_mtime(e, member.time, 0);
    archive_entry_set_size(e, static_cast<la_int64_t>(data.size()));
    if (archive_write_header(a.get(), e) != ARCHIVE_OK ||
        (!data.empty() && archive_write_data(a.get(), data.data(), data.size()) !=
                              static_cast<la_ssize_t>(data.size()))) {
      *error = member.name + ": " + reason(a.get());
      return false;
    }
  }
  if (archive_write_close(a.get()) != ARCHIVE_OK) {
    *error = "libarchive could not finish the package: " + reason(a.get());
    return false;
  }
  return true;
}

PackageReader::PackageReader(TarSink* sink) : sink_(sink) {}
PackageReader::~PackageReader() = default;

void PackageReader::read(PackageSource* source) {
  State s;
  s.source = source;
  auto fail = [&](const std::string& message) {
    addFinding(&findings_, Severity::Error, "", 0, message);
  };
  ArchiveReader tar(archive_read_new());
  std::unique_ptr<uint8_t[]> data(new uint8_t[pieceSize]);
  struct archive* gzip = s.gzip.get();
  struct archive_entry* entry = nullptr;
  if (!tar || gzip == nullptr) return fail("libarchive could not start reading the package");
  archive_read_support_filter_gzip(gzip);
  archive_read_support_format_raw(gzip);
  archive_read_support_format_tar(tar.get());
  if (archive_read_open(gzip, &s, nullptr, State::packageBytes, nullptr) != ARCHIVE_OK ||
      archive_read_next_header(gzip, &entry) != ARCHIVE_OK)
    return fail(s.served == 0 ? "the package is empty" : s.gzipFailure());
  if (archive_filter_code(gzip, 0) != ARCHIVE_FILTER_GZIP)
    return fail("gzip data damaged: no gzip header at its start");

  // The members; damage ends the reading, as it ends the device's tar.
  std::string current;
  auto tarFailure = [&](const std::string& where) {
    fail(!s.gzipError.empty() ? s.gzipError
                              : "the tar data is damaged " + where + ": " + reason(tar.get()));
  };
  if (archive_read_open(tar.get(), &s, nullptr, State::tarBytes, nullptr) != ARCHIVE_OK)
    return tarFailure("at its start");
  for (;;) {
    const int status = archive_read_next_header(tar.get(), &entry);
    if (status == ARCHIVE_EOF) break;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
      return tarFailure(current.empty() ? "at its start" : "after member " + current);
    TarMember member;
    const char* name = archive_entry_pathname(entry);
    member.name = name != nullptr ? name : "";
    member.type = memberType(entry);
    member.mode = static_cast<uint32_t>(archive_entry_perm(entry)) & 07777;
    member.time = static_cast<uint32_t>(archive_entry_mtime(entry));
    member.size = member.type == '0' && archive_entry_size_is_set(entry)
                      ? static_cast<uint64_t>(archive_entry_size(entry))
                      : 0;
    const char* link =
        member.type == '1' ? archive_entry_hardlink(entry) : archive_entry_symlink(entry);
    member.linkTarget = link != nullptr ? link : "";
    if (archive_format(tar.get()) != ARCHIVE_FORMAT_TAR_USTAR)
      member.format = archive_format_name(tar.get());
    current = member.name;
    sink_->member(member);
    for (;;) {
      const la_ssize_t n = archive_read_data(tar.get(), data.get(), pieceSize);
      if (n == 0) break;
      if (n < 0) return tarFailure("in member " + current);
      sink_->data(data.get(), static_cast<size_t>(n));
    }
  }

  // The rest of the uncompressed stream (the tar's end and padding), then
  // the gzip trailer against what was unpacked.
  while (s.unpack() > 0) {
  }
  unpacked_ = s.unpacked;
  if (!s.gzipError.empty()) return fail(s.gzipError);
  const uint64_t end = static_cast<uint64_t>(archive_filter_bytes(gzip, -1));
  if (end < gzipTrailerSize || end > s.served || s.served - (end - gzipTrailerSize) > keptTailSize)
    return fail("gzip data damaged: its end cannot be found");
  uint8_t trailer[gzipTrailerSize];
  for (size_t i = 0; i < gzipTrailerSize; ++i)
    trailer[i] = s.tail[(end - gzipTrailerSize + i) % keptTailSize];
  const uint32_t crc = readLe32(trailer);
  const uint32_t length = readLe32(trailer + 4);
  if (crc != s.crc || length != static_cast<uint32_t>(s.unpacked))
    return fail("gzip data damaged: its end gives CRC-32 " + hex32(crc) + " and length " +
                std::to_string(length) + ", its data " + hex32(s.crc) + " and " +
                std::to_string(s.unpacked) + " bytes");
  uint64_t trailing = s.served - end;
  const uint8_t* rest = nullptr;
  if (!s.sourceEnded)
    for (size_t n; (n = source->next(&rest)) > 0;) trailing += n;
  if (trailing > 0)
    addFinding(&findings_, Severity::Warning, "", 0,
               std::to_string(trailing) + " bytes after the end of the gzip data");
}

}  // namespace updimage
