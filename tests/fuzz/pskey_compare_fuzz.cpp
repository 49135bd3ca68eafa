// The key comparison. Input: the package's key file, a line "===", the
// module's dump. preparePSKeyFile cuts every comment and keeps the rest;
// comparePSKeyFiles writes a set that holds only key lines of the prepared
// file, each at most once and in order, and nothing when the module already
// holds the same file.
#include <cstring>

#include "fuzz_support.h"
#include "log/log.h"
#include "pskey_files/pskey_files.h"

namespace {

const char* const source = "/tmp/keys.psr";
const char* const prepared = "/tmp/keysprep.psr";
const char* const module = "/tmp/dump.psr";

// The prepared file of a text without NULs and without lines longer than the
// daemon's line reads: every line that begins with "//" dropped, every other
// cut at its "//" with its line end kept.
std::string withoutComments(const std::string& text) {
  std::string out;
  for (const std::string& line : fuzz::pieces(text, text.size() + 1)) {
    const size_t body = line.find_last_not_of("\r\n") + 1;
    const size_t comment = line.find("//");
    if (comment == 0) continue;
    out += comment == std::string::npos ? line : line.substr(0, comment) + line.substr(body);
  }
  return out;
}

void compare(const testsupport::Sandbox& sandbox, const char* reference, int* result,
             std::string* written, std::string* report) {
  ::unlink(sandbox.path(upd::toSetPSKeyPath).c_str());
  ::unlink(sandbox.path(upd::comparePSKeyPath).c_str());
  *result = upd::comparePSKeyFiles(reference, module);
  *written = sandbox.read(upd::toSetPSKeyPath);
  *report = sandbox.read(upd::comparePSKeyPath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  const std::vector<std::string> files = fuzz::parts(data, size, 2);
  sandbox.write(source, files[0]);
  sandbox.write(module, files[1]);
  ::unlink(sandbox.path(prepared).c_str());
  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  FUZZ_CHECK(upd::preparePSKeyFile(source, prepared) == 1);
  const std::string keys = sandbox.read(prepared);
  bool plain = files[0].find('\0') == std::string::npos;
  for (const std::string& line : fuzz::pieces(files[0], files[0].size() + 1))
    plain = plain && line.size() < 1000;
  if (plain) FUZZ_CHECK(keys == withoutComments(files[0]));

  int result = 0;
  std::string written, report;
  compare(sandbox, prepared, &result, &written, &report);
  // A key file of comments alone leaves no prepared file to compare.
  FUZZ_CHECK(result == 1 || result == -1 || (result == 0 && !sandbox.exists(prepared)));
  // The set: key lines of the reference as read, in their order, each once.
  size_t at = 0;
  for (const std::string& piece : fuzz::pieces(keys)) {
    const std::string line = fuzz::cText(piece);
    if (!line.empty() && line[0] == '&' && written.compare(at, line.size(), line) == 0)
      at += line.size();
  }
  FUZZ_CHECK(at == written.size());

  // Against a dump that is the same file, nothing is to be written.
  sandbox.write(module, keys);
  compare(sandbox, prepared, &result, &written, &report);
  if (result == 1) FUZZ_CHECK(written.empty() && report.empty());
  return 0;
}
