// Findings, verdicts and the archive listing as text and JSON; see report.h.
#include "update_image/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>
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
  for (size_t k = 0; k < p.plan.size(); ++k) {
    const PlanStep& s = p.plan[k];
    std::printf("  step %zu/%zu  line %-3zu %s (number %u)\n", k + 1, p.plan.size(), s.line,
                s.key.c_str(), s.number);
  }
  if (p.versions.empty()) return;
  std::printf("versions (%s)\n", packageFileName(upd::versionPath).c_str());
  for (const VersionValue& v : p.versions)
    std::printf("  %-13s %s\n", v.key.c_str(), v.value.c_str());
}

// --- JSON -------------------------------------------------------------

// Objects keep their keys in the order set.
using Json = nlohmann::ordered_json;

bool validUtf8(const std::string& text) {
  try {
    (void)Json(text).dump();
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

// A name as a JSON text; one that is not UTF-8 also as its bytes in hex
// under KEY_hex (the text then has U+FFFD for each byte that is not UTF-8).
void setName(Json& j, const std::string& key, const std::string& name) {
  j[key] = name;
  if (validUtf8(name)) return;
  std::string hex;
  for (unsigned char c : name) hex += format("%02x", c);
  j[key + "_hex"] = hex;
}

void printJson(const Json& j) {
  std::printf("%s\n", j.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

Json headerJson(const ImageReport& image) {
  Json j = Json::object();
  j["complete"] = image.complete;
  if (!image.complete) return j;
  const Header& h = image.header;
  j["magic"] = hex32(h.magic);
  j["magic_good"] = image.magicGood();
  if (!image.magicGood()) return j;
  j["header_crc"] = hex32(h.headerCrc);
  j["header_crc_good"] = image.headerCrcGood();
  j["time"] = h.time;
  j["date"] = dateText(h.time);
  j["data_size"] = h.dataSize;
  j["data_size_good"] = image.sizeGood();
  j["load"] = hex32(h.load);
  j["entry"] = hex32(h.entry);
  j["data_crc"] = hex32(h.dataCrc);
  j["data_crc_good"] = image.sizeGood() ? Json(image.dataCrcGood()) : Json();
  j["os"] = h.os;
  j["os_name"] = osName(h.os);
  j["arch"] = h.arch;
  j["arch_name"] = archName(h.arch);
  j["type"] = h.type;
  j["type_name"] = typeName(h.type);
  j["compression"] = h.compression;
  j["compression_name"] = compressionName(h.compression);
  j["name"] = h.name;
  return j;
}

Json softwareJson(const ArchiveReport& r, const FlashSizes& flashSizes) {
  const uint64_t size = headerSize + r.software.dataPresent;
  Json flash = Json::array();
  for (uint64_t f : flashSizes)
    flash.push_back(
        {{"flash_size", f}, {"image_area", imageAreaOf(f)}, {"fits", fitsFlash(size, f)}});
  Json j = Json::object();
  j["size"] = size;
  j["header"] = headerJson(r.software);
  j["flash"] = flash;
  return j;
}

Json packageJson(const ArchiveReport& r) {
  const PackageReport& p = r.package;
  Json files = Json::array();
  for (const PackageEntry& e : p.entries) {
    Json file = Json::object();
    setName(file, "name", e.name);
    file["type"] = kindName(e.kind);
    file["mode"] = format("%04o", e.mode);
    file["size"] = e.size;
    if (e.kind == EntryKind::Link) setName(file, "link", e.linkTarget);
    files.push_back(file);
  }
  Json plan = Json::array();
  for (size_t k = 0; k < p.plan.size(); ++k) {
    const PlanStep& s = p.plan[k];
    plan.push_back({{"position", k + 1}, {"line", s.line}, {"key", s.key}, {"number", s.number}});
  }
  Json versions = Json::object();
  for (const VersionValue& v : p.versions) versions[v.key] = v.value;
  Json j = Json::object();
  j["gzip_size"] = r.subImages[1].size;
  j["unpacked_size"] = r.packageUnpacked;
  j["read"] = r.packageRead;
  j["files"] = files;
  j["plan"] = plan;
  j["versions"] = versions;
  return j;
}

Json findingsJson(const Findings& findings) {
  Json list = Json::array();
  for (const Finding& f : findings) {
    Json finding = Json::object();
    finding["severity"] = f.severity == Severity::Error ? "error" : "warning";
    setName(finding, "file", f.file);
    finding["line"] = f.line > 0 ? Json(f.line) : Json();
    finding["message"] = f.message;
    list.push_back(finding);
  }
  return list;
}

// The findings, their counts and the verdict, ending every JSON report.
void closeJson(Json& j, const Findings& findings) {
  j["findings"] = findingsJson(findings);
  j["errors"] = count(findings, Severity::Error);
  j["warnings"] = count(findings, Severity::Warning);
  j["verdict"] = hasErrors(findings) ? "bad" : "good";
}

// The signature sub-images and, with a key, each one's verdict and the
// device's.
void printSignatures(const ArchiveReport& r) {
  const SignatureReport& s = r.signature;
  if (s.signatures.empty())
    std::printf("signatures: none\n");
  else
    std::printf("signatures: %zu\n", s.signatures.size());
  for (const SignatureEntry& e : s.signatures)
    std::printf("  sub-image %u  key id %s%s%s\n", static_cast<unsigned>(e.index),
                e.keyId.empty() ? format("? (%u Bytes, not 80)", e.size).c_str() : e.keyId.c_str(),
                e.verdict.empty() ? "" : "  ", e.verdict.c_str());
  if (s.keyGiven)
    std::printf("a device trusting key %s: %s\n", s.keyId.c_str(),
                s.deviceText.empty() ? "takes the archive" : s.deviceText.c_str());
}

Json signatureJson(const ArchiveReport& r) {
  if (!r.signaturesExamined) return Json();
  const SignatureReport& s = r.signature;
  Json list = Json::array();
  for (const SignatureEntry& e : s.signatures) {
    Json one = {{"sub_image", e.index}, {"size", e.size},
                {"key_id", e.keyId.empty() ? Json() : Json(e.keyId)}};
    if (s.keyGiven) one["verdict"] = e.verdict.empty() ? Json() : Json(e.verdict);
    list.push_back(one);
  }
  Json j = {{"signatures", list}};
  if (s.keyGiven) {
    j["key_id"] = s.keyId;
    j["accepted"] = s.deviceText.empty();
    j["device_text"] = s.deviceText.empty() ? Json() : Json(s.deviceText);
  }
  return j;
}

bool packageListed(const ArchiveReport& r) {
  return r.subImages.size() >= 3 && r.subImages[1].inside;
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
  if (r.signaturesExamined) printSignatures(r);
  printFindings(stdout, path + ": ", r.findings);
  std::printf("%s\n", verdictText(path, r.findings).c_str());
}

void printListingJson(const std::string& path, const ArchiveReport& r,
                      const FlashSizes& flashSizes) {
  Json j = Json::object();
  setName(j, "file", path);
  j["size"] = r.fileSize;
  j["header"] = headerJson(r.archive);
  Json subs = Json::array();
  for (const SubImage& s : r.subImages)
    subs.push_back(
        {{"offset", s.offset}, {"size", s.size}, {"role", s.role}, {"inside", s.inside}});
  j["sub_images"] = subs;
  j["software_image"] = r.softwarePresent ? softwareJson(r, flashSizes) : Json();
  j["package"] = packageListed(r) ? packageJson(r) : Json();
  j["signature"] = signatureJson(r);
  closeJson(j, r.findings);
  printJson(j);
}

void printVerifyJson(const std::string& path, const ArchiveReport& r) {
  Json j = Json::object();
  setName(j, "file", path);
  Json checked = Json::array({"header"});
  if (r.tableTerminated) checked.push_back("sub_images");
  if (packageListed(r)) checked.push_back("package");
  if (r.softwarePresent) checked.push_back("software_image");
  if (r.signature.keyGiven) checked.push_back("signature");
  j["checked"] = checked;
  j["signature"] = signatureJson(r);
  closeJson(j, r.findings);
  printJson(j);
}

void printCheckJson(const std::vector<CheckedPart>& parts) {
  Json j = Json::object();
  Json checked = Json::array();
  Findings all;
  for (const CheckedPart& part : parts) checked.push_back(part.what);
  j["checked"] = checked;
  for (const CheckedPart& part : parts) {
    Json one = Json::object();
    setName(one, "file", part.file);
    if (part.what == "software_image") {
      one["size"] = part.size;
      one["fits"] = part.fits;
    }
    closeJson(one, part.findings);
    j[part.what] = one;
    all.insert(all.end(), part.findings.begin(), part.findings.end());
  }
  closeJson(j, all);
  printJson(j);
}

}  // namespace updimage
