// Findings, verdicts and the archive listing as text and JSON; see report.h.
#include "update_image/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

#include "update_image/daemon_facts.h"

namespace updimage {
namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

std::string hex32(uint32_t value) { return format("0x%08X", value); }

std::string sizeText(uint64_t bytes) {
  std::string text = std::to_string(bytes) + " bytes";
  if (bytes >= (1u << 20))
    return text + format(" (%.1f MiB)", static_cast<double>(bytes) / (1u << 20));
  if (bytes >= 1024) return text + format(" (%.1f KiB)", static_cast<double>(bytes) / 1024);
  return text;
}

std::string flashText(uint64_t flash) { return std::to_string(flash >> 20) + " MiB"; }

std::string codeText(unsigned code, const std::string& name) {
  return name.empty() ? std::to_string(code) : std::to_string(code) + " (" + name + ")";
}

std::string modeText(const PackageEntry& entry) {
  char type = '-';
  if (entry.kind == EntryKind::Folder) type = 'd';
  if (entry.kind == EntryKind::Link) type = 'l';
  if (entry.kind == EntryKind::Other) type = '?';
  std::string text(1, type);
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (entry.mode >> (8 - bit)) & 1 ? letters[bit] : '-';
  return text;
}

const char* kindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::Folder:
      return "folder";
    case EntryKind::Link:
      return "link";
    case EntryKind::Other:
      return "other";
    case EntryKind::File:
      break;
  }
  return "file";
}

size_t count(const Findings& findings, Severity severity) {
  return static_cast<size_t>(std::count_if(
      findings.begin(), findings.end(), [&](const Finding& f) { return f.severity == severity; }));
}

std::string plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// --- text -------------------------------------------------------------

void printHeader(const ImageReport& image) {
  if (!image.complete) {
    std::printf("  shorter than its 64-byte header\n");
    return;
  }
  const Header& h = image.header;
  if (!image.magicGood()) {
    std::printf("  magic          %s  BAD (expected %s)\n", hex32(h.magic).c_str(),
                hex32(imageMagic).c_str());
    return;
  }
  auto verdict = [](bool good, uint32_t computed) {
    return good ? std::string("good") : "BAD (computed " + hex32(computed) + ")";
  };
  std::printf("  magic          %s  good\n", hex32(h.magic).c_str());
  std::printf("  header CRC     %s  %s\n", hex32(h.headerCrc).c_str(),
              verdict(image.headerCrcGood(), image.headerCrcComputed).c_str());
  std::printf("  time stamp     %s (%u)\n", dateText(h.time).c_str(), h.time);
  std::printf(
      "  data size      %s  %s\n", sizeText(h.dataSize).c_str(),
      image.sizeGood()
          ? "good"
          : ("BAD (" + std::to_string(image.dataPresent) + " bytes follow the header)").c_str());
  std::printf("  load address   %s\n", hex32(h.load).c_str());
  std::printf("  entry point    %s\n", hex32(h.entry).c_str());
  std::printf("  data CRC       %s  %s\n", hex32(h.dataCrc).c_str(),
              image.sizeGood() ? verdict(image.dataCrcGood(), image.dataCrcComputed).c_str()
                               : "not checked (the data size is wrong)");
  std::printf("  OS             %s\n", codeText(h.os, osName(h.os)).c_str());
  std::printf("  architecture   %s\n", codeText(h.arch, archName(h.arch)).c_str());
  std::printf("  type           %s\n", codeText(h.type, typeName(h.type)).c_str());
  std::printf("  compression    %s\n",
              codeText(h.compression, compressionName(h.compression)).c_str());
  std::printf("  name           \"%s\"\n", h.name.c_str());
}

void printSoftware(const ArchiveReport& r, const FlashSizes& flashSizes) {
  const uint64_t size = headerSize + r.software.dataPresent;
  if (r.multiFile)
    std::printf("software image (sub-image %zu): %s\n", r.subImages.size() - 1,
                sizeText(size).c_str());
  printHeader(r.software);
  if (!r.software.complete) return;
  for (uint64_t flash : flashSizes)
    std::printf("  flash %-8s image area %s  %s\n", flashText(flash).c_str(),
                sizeText(imageAreaOf(flash)).c_str(),
                fitsFlash(size, flash) ? "fits" : "does not fit");
}

void printPackage(const ArchiveReport& r) {
  const PackageReport& p = r.package;
  std::printf("package (sub-image 1): %s of gzip data, %s unpacked, %s\n",
              sizeText(r.subImages[1].size).c_str(), sizeText(r.packageUnpacked).c_str(),
              plural(p.entries.size(), "file").c_str());
  for (const PackageEntry& e : p.entries)
    std::printf("  %s %8llu  %s%s\n", modeText(e).c_str(), static_cast<unsigned long long>(e.size),
                e.name.c_str(), e.kind == EntryKind::Link ? (" -> " + e.linkTarget).c_str() : "");
  if (!r.packageRead) return;
  std::printf("plan (%s): %s\n", packageFileName(upd::todoPath).c_str(),
              plural(p.plan.size(), "step").c_str());
  for (const PlanStep& s : p.plan)
    std::printf("  line %-3zu step %u  %s\n", s.line, s.number, s.key.c_str());
  if (p.versions.empty()) return;
  std::printf("versions (%s)\n", packageFileName(upd::versionPath).c_str());
  for (const VersionValue& v : p.versions)
    std::printf("  %-13s %s\n", v.key.c_str(), v.value.c_str());
}

// --- JSON -------------------------------------------------------------

// A JSON value: an object, an array, or a scalar already in JSON form.
struct Json {
  enum class Kind { Object, Array, Scalar } kind = Kind::Scalar;
  std::string scalar = "null";
  std::vector<std::pair<std::string, Json>> members;
  std::vector<Json> items;

  Json& set(const std::string& key, Json value) {
    members.emplace_back(key, std::move(value));
    return *this;
  }
  Json& add(Json value) {
    items.push_back(std::move(value));
    return *this;
  }
};

Json object() {
  Json j;
  j.kind = Json::Kind::Object;
  return j;
}
Json array() {
  Json j;
  j.kind = Json::Kind::Array;
  return j;
}
Json number(uint64_t value) {
  Json j;
  j.scalar = std::to_string(value);
  return j;
}
Json boolean(bool value) {
  Json j;
  j.scalar = value ? "true" : "false";
  return j;
}
Json text(const std::string& value) {
  Json j;
  j.scalar = "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\')
      j.scalar += std::string("\\") + static_cast<char>(c);
    else if (c < 0x20)
      j.scalar += format("\\u%04x", c);
    else
      j.scalar += static_cast<char>(c);
  }
  j.scalar += "\"";
  return j;
}

void render(const Json& j, const std::string& indent, std::string* out) {
  if (j.kind == Json::Kind::Scalar) {
    *out += j.scalar;
    return;
  }
  const bool isObject = j.kind == Json::Kind::Object;
  const size_t size = isObject ? j.members.size() : j.items.size();
  *out += isObject ? "{" : "[";
  const std::string inner = indent + "  ";
  for (size_t i = 0; i < size; ++i) {
    *out += (i == 0 ? "\n" : ",\n") + inner;
    if (isObject) *out += text(j.members[i].first).scalar + ": ";
    render(isObject ? j.members[i].second : j.items[i], inner, out);
  }
  if (size > 0) *out += "\n" + indent;
  *out += isObject ? "}" : "]";
}

Json headerJson(const ImageReport& image) {
  Json j = object();
  j.set("complete", boolean(image.complete));
  if (!image.complete) return j;
  const Header& h = image.header;
  j.set("magic", text(hex32(h.magic))).set("magic_good", boolean(image.magicGood()));
  if (!image.magicGood()) return j;
  j.set("header_crc", text(hex32(h.headerCrc)))
      .set("header_crc_good", boolean(image.headerCrcGood()))
      .set("time", number(h.time))
      .set("date", text(dateText(h.time)))
      .set("data_size", number(h.dataSize))
      .set("data_size_good", boolean(image.sizeGood()))
      .set("load", text(hex32(h.load)))
      .set("entry", text(hex32(h.entry)))
      .set("data_crc", text(hex32(h.dataCrc)))
      .set("data_crc_good", image.sizeGood() ? boolean(image.dataCrcGood()) : Json())
      .set("os", number(h.os))
      .set("os_name", text(osName(h.os)))
      .set("arch", number(h.arch))
      .set("arch_name", text(archName(h.arch)))
      .set("type", number(h.type))
      .set("type_name", text(typeName(h.type)))
      .set("compression", number(h.compression))
      .set("compression_name", text(compressionName(h.compression)))
      .set("name", text(h.name));
  return j;
}

Json softwareJson(const ArchiveReport& r, const FlashSizes& flashSizes) {
  const uint64_t size = headerSize + r.software.dataPresent;
  Json flash = array();
  for (uint64_t f : flashSizes)
    flash.add(object()
                  .set("flash_size", number(f))
                  .set("image_area", number(imageAreaOf(f)))
                  .set("fits", boolean(fitsFlash(size, f))));
  return object()
      .set("size", number(size))
      .set("header", headerJson(r.software))
      .set("flash", flash);
}

Json packageJson(const ArchiveReport& r) {
  const PackageReport& p = r.package;
  Json files = array();
  for (const PackageEntry& e : p.entries) {
    Json file = object()
                    .set("name", text(e.name))
                    .set("type", text(kindName(e.kind)))
                    .set("mode", text(format("%04o", e.mode)))
                    .set("size", number(e.size));
    if (e.kind == EntryKind::Link) file.set("link", text(e.linkTarget));
    files.add(file);
  }
  Json plan = array();
  for (const PlanStep& s : p.plan)
    plan.add(
        object().set("line", number(s.line)).set("step", number(s.number)).set("key", text(s.key)));
  Json versions = object();
  for (const VersionValue& v : p.versions) versions.set(v.key, text(v.value));
  return object()
      .set("gzip_size", number(r.subImages[1].size))
      .set("unpacked_size", number(r.packageUnpacked))
      .set("read", boolean(r.packageRead))
      .set("files", files)
      .set("plan", plan)
      .set("versions", versions);
}

}  // namespace

std::string findingText(const std::string& prefix, const Finding& f) {
  std::string where = f.file;
  if (!where.empty() && f.line > 0) where += ":" + std::to_string(f.line);
  if (!where.empty()) where += ": ";
  return prefix + where + (f.severity == Severity::Error ? "error: " : "warning: ") + f.message;
}

void printFindings(std::FILE* out, const std::string& prefix, const Findings& findings) {
  for (const Finding& f : findings) std::fprintf(out, "%s\n", findingText(prefix, f).c_str());
}

std::string verdictText(const std::string& what, const Findings& findings) {
  const size_t errors = count(findings, Severity::Error);
  const size_t warnings = count(findings, Severity::Warning);
  if (errors > 0)
    return what + ": bad (" + plural(errors, "error") +
           (warnings > 0 ? ", " + plural(warnings, "warning") : "") + ")";
  return what + ": good" + (warnings > 0 ? " (" + plural(warnings, "warning") + ")" : "");
}

void printListing(const std::string& path, const ArchiveReport& r, const FlashSizes& flashSizes) {
  std::printf("%s %s: %s\n", r.multiFile ? "archive" : "image", path.c_str(),
              sizeText(r.fileSize).c_str());
  if (r.multiFile || !r.softwarePresent) printHeader(r.archive);
  if (r.tableTerminated) {
    std::printf("sub-images: %zu\n", r.subImages.size());
    for (size_t k = 0; k < r.subImages.size(); ++k) {
      const SubImage& s = r.subImages[k];
      std::printf("  %zu  offset %8llu  size %-28s %s%s\n", k,
                  static_cast<unsigned long long>(s.offset), sizeText(s.size).c_str(),
                  s.role.c_str(), s.inside ? "" : " (OUTSIDE THE FILE)");
    }
  }
  if (r.softwarePresent) printSoftware(r, flashSizes);
  if (r.subImages.size() >= 3 && r.subImages[1].inside) printPackage(r);
  printFindings(stdout, path + ": ", r.findings);
  std::printf("%s\n", verdictText(path, r.findings).c_str());
}

void printListingJson(const std::string& path, const ArchiveReport& r,
                      const FlashSizes& flashSizes) {
  Json j = object();
  j.set("file", text(path)).set("size", number(r.fileSize));
  j.set("header", headerJson(r.archive));
  Json subs = array();
  for (const SubImage& s : r.subImages)
    subs.add(object()
                 .set("offset", number(s.offset))
                 .set("size", number(s.size))
                 .set("role", text(s.role))
                 .set("inside", boolean(s.inside)));
  j.set("sub_images", subs);
  j.set("software_image", r.softwarePresent ? softwareJson(r, flashSizes) : Json());
  j.set("package", r.subImages.size() >= 3 && r.subImages[1].inside ? packageJson(r) : Json());
  Json findings = array();
  for (const Finding& f : r.findings) {
    Json finding = object()
                       .set("severity", text(f.severity == Severity::Error ? "error" : "warning"))
                       .set("file", text(f.file));
    if (f.line > 0) finding.set("line", number(f.line));
    findings.add(finding.set("message", text(f.message)));
  }
  j.set("findings", findings);
  j.set("verdict", text(hasErrors(r.findings) ? "bad" : "good"));
  std::string out;
  render(j, "", &out);
  std::printf("%s\n", out.c_str());
}

}  // namespace updimage
