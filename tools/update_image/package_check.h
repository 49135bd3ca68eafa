// The update package as the daemon will use it: its entries (from a folder
// or from the tar inside an archive), the plan and versions it carries, and
// the findings of the package check, each naming the file and line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace updimage {

enum class Severity { Error, Warning };

struct Finding {
  Severity severity;
  std::string file;  // what it is about; "" for the whole
  size_t line;       // 1 for the first line; 0 for the whole file
  std::string message;
};
using Findings = std::vector<Finding>;

bool hasErrors(const Findings& findings);
void addFinding(Findings* findings, Severity severity, const std::string& file, size_t line,
                const std::string& message);

enum class EntryKind { File, Folder, Link, Other };

struct PackageEntry {
  std::string name;  // below the package folder
  EntryKind kind = EntryKind::File;
  uint32_t mode = 0;  // permission bits
  uint64_t size = 0;
  std::string linkTarget;
  std::string head;          // the first bytes of a regular file (up to keptHeadSize)
  std::string content;       // whole text of the files the checks read (see keepsContent)
  bool contentKept = false;  // content holds the whole file
};

constexpr size_t keptHeadSize = 64;
constexpr size_t keptContentSize = 1 << 20;
// Whether the checks read the whole text of a package file of this name
// (the plan, VERSION, the key file).
bool keepsContent(const std::string& name);

struct PlanStep {
  size_t line;
  uint32_t number;
  std::string key;
};
struct VersionValue {
  std::string key;
  std::string value;
};

struct PackageReport {
  std::vector<PackageEntry> entries;   // sorted by name
  std::vector<PlanStep> plan;          // the steps in run order, as the daemon takes them
  std::vector<VersionValue> versions;  // the keys of VERSION that are present
  Findings findings;                   // file: the entry's name
};

// Checks the entries (sorted by name) against the plan: every plan line
// names a known step, the files each planned step needs are there and
// usable, and the package holds only regular files.
PackageReport checkPackage(std::vector<PackageEntry> entries);

// The entries of a package folder, sorted by name. False and *error (the
// path and the system's reason) when the folder cannot be read.
bool readPackageFolder(const std::string& folder, std::vector<PackageEntry>* entries,
                       std::string* error);

}  // namespace updimage
