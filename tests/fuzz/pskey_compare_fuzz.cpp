// The key comparison. Input: the package's key file, a line "===", the
// module's dump. preparePSKeyFile cuts every comment and keeps the rest;
// comparePSKeyFiles writes a set that holds only key lines of the prepared
// file, each at most once and in order, and nothing against a dump that is
// the same file.
#include "fuzz_support.h"
#include "log/log.h"
#include "pskey_files/pskey_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  const std::vector<std::string> files = fuzz::parts(data, size, 2);
  const char *source = "/tmp/keys.psr", *prepared = "/tmp/keysprep.psr", *dump = "/tmp/dump.psr";
  sandbox.write(source, files[0]);
  sandbox.write(dump, files[1]);
  ::unlink(sandbox.path(prepared).c_str());
  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  // A key file holding a NUL byte is refused whole: no prepared file.
  const bool nul = files[0].find('\0') != std::string::npos;
  FUZZ_CHECK(upd::preparePSKeyFile(source, prepared) == (nul ? -1 : 1));
  FUZZ_CHECK(sandbox.exists(prepared) != nul);
  if (nul) return 0;
  const std::string keys = sandbox.read(prepared);
  // With short lines: lines beginning with "//" dropped, the others cut at
  // "//" with their line end kept.
  std::string expected;
  bool plain = true;
  for (const std::string& line : fuzz::pieces(files[0], files[0].size() + 1)) {
    const size_t comment = line.find("//"), body = line.find_last_not_of("\r\n") + 1;
    plain = plain && line.size() < 1000;
    if (comment != 0)
      expected += comment == std::string::npos ? line : line.substr(0, comment) + line.substr(body);
  }
  FUZZ_CHECK(!plain || keys == expected);

  auto compare = [&](std::string* written) {
    ::unlink(sandbox.path(upd::toSetPSKeyPath).c_str());
    ::unlink(sandbox.path(upd::comparePSKeyPath).c_str());
    const int result = upd::comparePSKeyFiles(prepared, dump);
    *written = sandbox.read(upd::toSetPSKeyPath) + sandbox.read(upd::comparePSKeyPath);
    return result;
  };
  std::string written;
  const int result = compare(&written);
  // Both files are there: the comparison runs through or stops (a dump with
  // a NUL byte, keys out of order) leaving nothing.
  FUZZ_CHECK(result == 1 || (result == -1 && written.empty()));
  written = sandbox.read(upd::toSetPSKeyPath);
  size_t at = 0;
  for (const std::string& piece : fuzz::pieces(keys)) {
    const std::string line = fuzz::cText(piece);
    if (!line.empty() && line[0] == '&' && written.compare(at, line.size(), line) == 0)
      at += line.size();
  }
  FUZZ_CHECK(at == written.size());
  sandbox.write(dump, keys);
  FUZZ_CHECK(compare(&written) != 1 || written.empty());  // neither a set nor a report
  return 0;
}
