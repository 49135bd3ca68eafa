// What update_image prints: findings, verdicts, and the full listing of an
// archive as text or as JSON.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "update_image/archive_scan.h"

namespace updimage {

// "PREFIXFILE:LINE: error: MESSAGE" (FILE and LINE where the finding has them).
std::string findingText(const std::string& prefix, const Finding& finding);
void printFindings(std::FILE* out, const std::string& prefix, const Findings& findings);
// "WHAT: good", "WHAT: good (1 warning)" or "WHAT: bad (2 errors, 1 warning)".
std::string verdictText(const std::string& what, const Findings& findings);

// Every header field by name, the sub-image table with roles, each
// checksum's verdict, which flash sizes the software image fits, the
// package's files, plan and versions, the findings and the verdict.
void printListing(const std::string& path, const ArchiveReport& report,
                  const FlashSizes& flashSizes);
void printListingJson(const std::string& path, const ArchiveReport& report,
                      const FlashSizes& flashSizes);

// verify --json: what was checked, the findings and the verdict.
void printVerifyJson(const std::string& path, const ArchiveReport& report);

// What check examined: the package folder or the software image.
struct CheckedPart {
  std::string what;  // "package" or "software_image"
  std::string file;
  Findings findings;
  uint64_t size = 0;           // a software image's size, header included
  std::vector<uint64_t> fits;  // the flash sizes it fits
};
void printCheckJson(const std::vector<CheckedPart>& parts);

}  // namespace updimage
