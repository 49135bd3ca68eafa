// The streaming deep check of an archive; see archive_scan.h.
#include "update_image/archive_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "image/image_format.h"
#include "update_image/daemon_facts.h"
#include "update_image/tar_gzip.h"

namespace updimage {
namespace {

constexpr size_t readSize = 65536;
constexpr uint32_t maxSubImages = 1024;  // far beyond any update archive
const std::string softwareWhat = "software image";
const std::string packageWhat = "package";

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Findings of an image's header and checksums, in the daemon's order; a
// foreign magic makes the rest meaningless.
void headerFindings(const ImageReport& image, const std::string& what, Findings* findings) {
  if (!image.complete) {
    addFinding(findings, Severity::Error, what, 0,
               "shorter than its 64-byte header (" + std::to_string(image.dataPresent) + " bytes)");
    return;
  }
  if (!image.magicGood()) {
    addFinding(findings, Severity::Error, what, 0,
               "bad magic number " + hex32(image.header.magic) + ", expected " + hex32(imageMagic) +
                   "; not an image");
    return;
  }
  if (!image.headerCrcGood())
    addFinding(findings, Severity::Error, what, 0,
               "bad header checksum " + hex32(image.header.headerCrc) + ", computed " +
                   hex32(image.headerCrcComputed));
  if (!image.sizeGood())
    addFinding(findings, Severity::Error, what, 0,
               "data size " + std::to_string(image.header.dataSize) + " in the header, but " +
                   std::to_string(image.dataPresent) + " bytes follow it");
  else if (!image.dataCrcGood())
    addFinding(findings, Severity::Error, what, 0,
               "bad data checksum " + hex32(image.header.dataCrc) + ", computed " +
                   hex32(image.dataCrcComputed));
}

std::string mibText(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// One image read in pieces: the header bytes first, then the data's CRC.
struct ImageAccumulator {
  uint8_t header[64] = {};
  uint64_t seen = 0;
  uint32_t crc = 0;

  void feed(const uint8_t* bytes, size_t length) {
    while (length > 0 && seen < headerSize) {
      header[seen++] = *bytes++;
      --length;
    }
    crc = crcUpdate(crc, bytes, length);
    seen += length;
  }
  ImageReport report() const {
    ImageReport image;
    image.complete = seen >= headerSize;
    image.dataPresent = image.complete ? seen - headerSize : seen;
    if (!image.complete) return image;
    image.header = parseHeader(header);
    image.headerCrcComputed = computeHeaderCrc(header);
    image.dataCrcComputed = crc;
    return image;
  }
};

// The package's members as entries of the package check, with what the
// tar says that the daemon's tar would do wrong.
class PackageCollector : public TarSink {
 public:
  explicit PackageCollector(ExtractTarget* extract)
      : prefix_(packageMemberPrefix()), extract_(extract) {}

  void member(const TarMember& member) override {
    close();
    if (!seen_.insert(member.name).second)
      memberFinding(Severity::Warning, member.name, "appears twice; the later one wins");
    if (!member.format.empty())
      memberFinding(Severity::Warning, member.name,
                    "written as " + member.format +
                        ", not plain ustar; the device's tar may read it otherwise");
    std::string name = member.name;
    if (name == prefix_.substr(0, prefix_.size() - 1)) name = prefix_;  // "update.d"
    if (!name.empty() && name[0] == '/') {
      memberFinding(Severity::Error, name,
                    "absolute name; the daemon's tar would write outside "
                    "the package folder");
      return;
    }
    if (("/" + name + "/").find("/../") != std::string::npos) {
      memberFinding(Severity::Error, name,
                    "\"..\" in the name; the daemon's tar would write "
                    "outside the package folder");
      return;
    }
    if (name.compare(0, prefix_.size(), prefix_) != 0) {
      memberFinding(Severity::Error, name,
                    "lies outside " + prefix_ + "; the daemon would unpack it elsewhere in /tmp");
      return;
    }
    name = name.substr(prefix_.size());
    if (member.type == '5' && !name.empty() && name.back() == '/') name.pop_back();
    if (name.empty() || name == ".") {
      if (member.type != '5') memberFinding(Severity::Error, member.name, "is not a folder");
      return;
    }
    if (name.find('/') != std::string::npos) {
      memberFinding(Severity::Error, member.name,
                    "lies in a subfolder; the package holds only files at its top level");
      return;
    }
    PackageEntry entry;
    entry.name = name;
    entry.mode = member.mode;
    entry.size = member.size;
    entry.linkTarget = member.linkTarget;
    if (member.type == '5') entry.kind = EntryKind::Folder;
    if (member.type == '1' || member.type == '2') entry.kind = EntryKind::Link;
    if (member.type == '3' || member.type == '4' || member.type == '6')
      entry.kind = EntryKind::Other;
    entries.push_back(entry);
    open_ = true;
    if (extract_ != nullptr && entry.kind == EntryKind::File) extract_->beginFile(name, entry.mode);
  }

  void data(const uint8_t* bytes, size_t length) override {
    if (!open_) return;
    PackageEntry& entry = entries.back();
    const char* text = reinterpret_cast<const char*>(bytes);
    if (entry.head.size() < keptHeadSize)
      entry.head.append(text, std::min(length, keptHeadSize - entry.head.size()));
    if (keepsContent(entry.name) && entry.content.size() <= keptContentSize)
      entry.content.append(text, std::min(length, keptContentSize + 1 - entry.content.size()));
    if (extract_ != nullptr && entry.kind == EntryKind::File) extract_->fileData(bytes, length);
  }

  void close() {
    if (!open_) return;
    PackageEntry& entry = entries.back();
    entry.contentKept = keepsContent(entry.name) && entry.content.size() == entry.size;
    open_ = false;
  }

  std::vector<PackageEntry> entries;
  Findings findings;  // file: the member's name in the tar

 private:
  void memberFinding(Severity severity, const std::string& name, const std::string& message) {
    addFinding(&findings, severity, name, 0, message);
  }

  const std::string prefix_;
  ExtractTarget* extract_;
  std::set<std::string> seen_;
  bool open_ = false;
};

// A byte range of the file that one consumer reads.
struct Range {
  uint64_t start = 0;
  uint64_t end = 0;
  bool active = false;
};

// The file's bytes in pieces; a piece of 0 bytes is the end.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual size_t next(const uint8_t** bytes) = 0;
};

class FileSource : public ByteSource {
 public:
  FileSource(int fd, const std::string& path)
      : fd_(fd), path_(path), buffer_(new uint8_t[readSize]) {}
  size_t next(const uint8_t** bytes) override {
    if (!error.empty()) return 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_.get(), readSize);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = path_ + ": " + std::strerror(errno);
        return 0;
      }
      *bytes = buffer_.get();
      return static_cast<size_t>(n);
    }
  }
  std::string error;

 private:
  int fd_;
  std::string path_;
  std::unique_ptr<uint8_t[]> buffer_;
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(const Bytes& bytes) : bytes_(bytes) {}
  size_t next(const uint8_t** bytes) override {
    const size_t n = std::min(readSize, bytes_.size() - at_);
    *bytes = bytes_.data() + at_;
    at_ += n;
    return n;
  }

 private:
  const Bytes& bytes_;
  size_t at_ = 0;
};

// Reads the file from start to end; the package's bytes go to libarchive,
// which pulls them: while the package is being read, its pieces come from
// further reads of the file, each taken by every other reader on the way.
class ArchiveScanner : public PackageSource {
 public:
  ArchiveScanner(uint64_t fileSize, const FlashSizes& flashSizes, ExtractTarget* extract,
                 bool imageAllowed)
      : flashSizes_(flashSizes),
        extract_(extract),
        imageAllowed_(imageAllowed),
        collector_(extract),
        reader_(&collector_) {
    report_.fileSize = fileSize;
  }

  void run(ByteSource* source) {
    source_ = source;
    const uint8_t* bytes = nullptr;
    for (size_t n; (n = source->next(&bytes)) > 0 && feed(bytes, n);) {
    }
  }

  // The package's next piece, read on from the file as needed.
  size_t next(const uint8_t** bytes) override {
    while (pendingLength_ == 0) {
      const uint8_t* more = nullptr;
      size_t n = 0;
      if (position_ >= package_.end || (n = source_->next(&more)) == 0 || !feed(more, n)) return 0;
    }
    *bytes = pending_;
    const size_t n = pendingLength_;
    pendingLength_ = 0;
    return n;
  }

 private:
  // The next bytes of the file; false when the rest is not needed.
  bool feed(const uint8_t* bytes, size_t length) {
    const uint64_t start = position_;
    position_ += length;
    whole_.feed(bytes, length);
    if (start < headerSize && position_ >= headerSize && !headerRead()) return false;
    if (report_.multiFile && !tableDone_) readTable(start, bytes, length);
    if (!packageDone_)
      dispatch(package_, start, bytes, length, [this](const uint8_t* b, size_t n) {
        pending_ = b;
        pendingLength_ = n;
        if (!packageStarted_) readPackage();
      });
    // What follows the package waits until libarchive has taken all of it.
    if (packageStarted_ && !packageDone_)
      deferred_ = {start, bytes, length};
    else
      software(start, bytes, length);
    return true;
  }

  void software(uint64_t start, const uint8_t* bytes, size_t length) {
    dispatch(software_, start, bytes, length, [this](const uint8_t* b, size_t n) {
      softwareImage_.feed(b, n);
      if (extract_ != nullptr) extract_->softwareData(b, n);
    });
  }

  void readPackage() {
    packageStarted_ = true;
    reader_.read(this);
    packageDone_ = true;
    pendingLength_ = 0;
    if (deferred_.bytes != nullptr) software(deferred_.start, deferred_.bytes, deferred_.length);
    deferred_ = {};
  }

 public:
  ArchiveReport finish() {
    Findings* findings = &report_.findings;
    report_.archive = whole_.report();
    headerFindings(report_.archive, "", findings);
    if (!report_.archive.complete || !report_.archive.magicGood()) return report_;
    if (!report_.multiFile) {
      if (!imageAllowed_)
        addFinding(findings, Severity::Error, "", 0,
                   "image type " + std::to_string(report_.archive.header.type) +
                       ", not a multi-file update archive (type " + std::to_string(multiImageType) +
                       ")");
      report_.softwarePresent = true;
      report_.software = report_.archive;
      checkSoftwareImage(report_.software, flashSizes_, softwareWhat, findings);
      return report_;
    }
    if (!tableDone_) {
      addFinding(findings, Severity::Error, "", 0,
                 "the sub-image table has no terminating zero word");
      return report_;
    }
    if (tooManySubImages_) {
      addFinding(findings, Severity::Error, "", 0,
                 "more than " + std::to_string(maxSubImages) + " sub-images");
      return report_;
    }
    const size_t count = report_.subImages.size();
    if (count < 3) {
      addFinding(findings, Severity::Error, "", 0,
                 std::to_string(count) +
                     " sub-images; an update archive has at least 3 (the package as "
                     "sub-image 1, the software image last)");
    }
    for (size_t k = 0; k < count; ++k) {
      const SubImage& sub = report_.subImages[k];
      if (!sub.inside)
        addFinding(findings, Severity::Error, "", 0,
                   "sub-image " + std::to_string(k) + " (" + std::to_string(sub.size) +
                       " bytes at offset " + std::to_string(sub.offset) +
                       ") lies outside the file of " + std::to_string(report_.fileSize) + " bytes");
    }
    finishPackage();
    finishSoftware();
    return report_;
  }

 private:
  // Stops at a foreign magic: nothing after it means anything.
  bool headerRead() {
    const ImageReport image = whole_.report();
    if (!image.magicGood()) return false;
    report_.multiFile = image.header.type == multiImageType;
    return true;
  }

  void readTable(uint64_t start, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length && !tableDone_; ++i) {
      const uint64_t at = start + i;
      if (at < headerSize) continue;
      word_[(at - headerSize) % 4] = bytes[i];
      if ((at - headerSize) % 4 != 3) continue;
      const uint32_t size = upd::readBe32(word_);
      if (size == 0) {
        tableDone_ = true;
        placeSubImages();
      } else if (report_.subImages.size() == maxSubImages) {
        tableDone_ = tooManySubImages_ = true;
      } else {
        SubImage sub;
        sub.size = size;
        report_.subImages.push_back(sub);
      }
    }
  }

  // Offsets, roles, and the ranges the package and software readers take.
  void placeSubImages() {
    report_.tableTerminated = true;
    std::vector<SubImage>& subs = report_.subImages;
    uint64_t offset = headerSize + 4 * (static_cast<uint64_t>(subs.size()) + 1);
    for (size_t k = 0; k < subs.size(); ++k) {
      subs[k].offset = offset;
      subs[k].inside = offset + subs[k].size <= report_.fileSize;
      offset += upd::roundUp4(subs[k].size);
      if (k == 0) subs[k].role = "not used by the daemon";
      if (k == 1) subs[k].role = "update package";
      if (k > 0 && k + 1 == subs.size())
        subs[k].role += k == 1 ? ", software image" : "software image";
    }
    if (subs.size() < 3) return;
    auto take = [](const SubImage& sub, Range* range) {
      range->start = sub.offset;
      range->end = sub.offset + sub.size;
      range->active = sub.inside;
    };
    take(subs[1], &package_);
    take(subs.back(), &software_);
  }

  template <typename Consume>
  static void dispatch(const Range& range, uint64_t start, const uint8_t* bytes, size_t length,
                       Consume consume) {
    if (!range.active) return;
    const uint64_t from = std::max(start, range.start);
    const uint64_t to = std::min(start + length, range.end);
    if (from < to) consume(bytes + (from - start), static_cast<size_t>(to - from));
  }

  void finishPackage() {
    if (!package_.active) return;
    if (!packageStarted_) readPackage();  // the file ended before the package
    collector_.close();
    const std::string member = packageMemberPrefix();
    for (const Finding& f : reader_.findings())
      report_.findings.push_back({f.severity, packageWhat, 0, f.message});
    for (const Finding& f : collector_.findings)
      report_.findings.push_back({f.severity, f.file, 0, f.message});
    report_.packageUnpacked = reader_.unpackedSize();
    std::vector<PackageEntry> entries = collector_.entries;
    std::stable_sort(entries.begin(), entries.end(),
                     [](const PackageEntry& a, const PackageEntry& b) { return a.name < b.name; });
    if (!reader_.readable()) {
      report_.package.entries = entries;
      return;
    }
    report_.packageRead = true;
    report_.package = checkPackage(entries);
    for (const Finding& f : report_.package.findings)
      report_.findings.push_back({f.severity, member + f.file, f.line, f.message});
  }

  void finishSoftware() {
    if (!software_.active) return;
    const size_t last = report_.subImages.size() - 1;
    const std::string what = softwareWhat + " (sub-image " + std::to_string(last) + ")";
    report_.softwarePresent = true;
    report_.software = softwareImage_.report();
    checkSoftwareImage(report_.software, flashSizes_, what, &report_.findings);
  }

  ArchiveReport report_;
  const FlashSizes& flashSizes_;
  ExtractTarget* extract_;
  const bool imageAllowed_;
  ByteSource* source_ = nullptr;
  uint64_t position_ = 0;
  ImageAccumulator whole_;
  uint8_t word_[4] = {};
  bool tableDone_ = false;
  bool tooManySubImages_ = false;
  Range package_;
  Range software_;
  const uint8_t* pending_ = nullptr;  // the package's piece in the bytes being fed
  size_t pendingLength_ = 0;
  struct Piece {
    uint64_t start = 0;
    const uint8_t* bytes = nullptr;
    size_t length = 0;
  } deferred_;  // the last piece read while the package was read
  bool packageStarted_ = false;
  bool packageDone_ = false;
  PackageCollector collector_;
  PackageReader reader_;
  ImageAccumulator softwareImage_;
};

}  // namespace

bool ImageReport::magicGood() const { return complete && header.magic == imageMagic; }

ImageReport examineImage(const uint8_t* image, size_t length) {
  ImageAccumulator accumulator;
  accumulator.feed(image, length);
  return accumulator.report();
}

void checkSoftwareImage(const ImageReport& image, const FlashSizes& flashSizes,
                        const std::string& what, Findings* findings) {
  const size_t before = findings->size();
  headerFindings(image, what, findings);
  if (findings->size() != before) return;
  if (image.header.type == multiImageType)
    addFinding(findings, Severity::Error, what, 0,
               "a multi-file image (an update archive?), not a software image");
  if (image.dataPresent == 0)
    addFinding(findings, Severity::Error, what, 0,
               "holds no data; the daemon would erase the first image sector and write a bare "
               "header, wiping the device's software");
  if (image.header.name.compare(0, std::strlen(softwareNamePrefix), softwareNamePrefix) != 0)
    addFinding(findings, Severity::Error, what, 0,
               "name \"" + image.header.name + "\" does not begin with \"" + softwareNamePrefix +
                   "\"; the daemon does not write it to flash");
  checkImageSize(headerSize + image.dataPresent, flashSizes, what, findings);
}

void checkImageSize(uint64_t size, const FlashSizes& flashSizes, const std::string& what,
                    Findings* findings) {
  if (std::any_of(flashSizes.begin(), flashSizes.end(),
                  [&](uint64_t flash) { return fitsFlash(size, flash); }))
    return;
  std::string sizes;
  uint64_t largest = 0;
  for (uint64_t flash : flashSizes) {
    sizes += (sizes.empty() ? "" : ", ") + mibText(flash);
    largest = std::max(largest, imageAreaOf(flash));
  }
  addFinding(findings, Severity::Error, what, 0,
             std::to_string(size) + " bytes fit the image area of no flash of " + sizes +
                 " (at most " + std::to_string(largest > 0 ? largest - 1 : 0) + " bytes)");
}

bool scanArchiveFile(const std::string& path, const FlashSizes& flashSizes, ExtractTarget* extract,
                     bool imageAllowed, ArchiveReport* report, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *error = path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = path + ": " + std::strerror(EISDIR);
    ::close(fd);
    return false;
  }
  ArchiveScanner scanner(static_cast<uint64_t>(st.st_size), flashSizes, extract, imageAllowed);
  FileSource source(fd, path);
  scanner.run(&source);
  ::close(fd);
  if (!source.error.empty()) {
    *error = source.error;
    return false;
  }
  *report = scanner.finish();
  return true;
}

ArchiveReport scanArchiveBytes(const Bytes& archive, const FlashSizes& flashSizes) {
  ArchiveScanner scanner(archive.size(), flashSizes, nullptr, false);
  MemorySource source(archive);
  scanner.run(&source);
  return scanner.finish();
}

}  // namespace updimage
