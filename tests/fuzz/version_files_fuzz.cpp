// The version files. Input: /etc/data.txt, a line "===", VERSION, "===",
// the package's key file. checkVersions writes the report header and one
// row of fixed columns per part whose flag is the part's, and never skips a
// part whose installed or new version it could not find.
#include "fuzz_support.h"
#include "log/log.h"
#include "pskey_files/pskey_files.h"
#include "sequencer/sequencer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  const std::vector<std::string> files = fuzz::parts(data, size, 3);
  sandbox.write(upd::installedVersionPath, files[0]);
  sandbox.write(upd::versionPath, files[1]);
  sandbox.write(upd::newPSKeyPath, files[2]);
  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  upd::resetUpdateState();
  FUZZ_CHECK(upd::checkVersions() == 1);

  const std::string header = testsupport::versionReportHeader;
  const std::string status = sandbox.read(upd::statusFilePath);
  constexpr size_t rowLength = 4 + 19 + 1 + 23 + 1 + 22 + 1 + 20;
  FUZZ_CHECK(status.size() == header.size() + 3 * rowLength && fuzz::startsWith(status, header));
  const char* const labels[] = {"Trilo Firmware ...", "PS-Key         ...", "skq Software   ..."};
  for (size_t i = 0; i < 3; ++i) {
    const upd::VersionPart& part = upd::versionParts[i];
    const std::string row = status.substr(header.size() + i * rowLength, rowLength);
    std::string flag = part.updateNeeded == 1 ? "    yes" : "    no";
    flag.resize(20, ' ');
    FUZZ_CHECK(part.updateNeeded == 0 || part.updateNeeded == 1);
    FUZZ_CHECK(fuzz::startsWith(row, "\n   " + std::string(labels[i])));
    FUZZ_CHECK(row.substr(rowLength - 20) == flag);
    if (part.updateNeeded == 1) continue;
    FUZZ_CHECK(fuzz::hasLine(files[0], part.key));
    if (part.partKind == upd::PART_LAP_SOFTWARE) FUZZ_CHECK(fuzz::hasLine(files[1], part.key));
    if (part.partKind != upd::PART_LAP_SOFTWARE) FUZZ_CHECK(fuzz::hasLine(files[2], "&02a5 = "));
    if (part.partKind == upd::PART_PSKEYS) {
      FUZZ_CHECK(fuzz::hasLine(files[2], "&02a4 = "));
      FUZZ_CHECK(upd::versionParts[0].updateNeeded == 0);  // the firmware stays as well
    }
  }
  return 0;
}
