// The download progress: whatever /tmp/dfu_status.log holds, a tick of the
// firmware step shows at most four characters of it and " percent ", in
// place of the figure before when it has that length, and leaves the
// figure standing when the log holds none.
#include <cstring>

#include "file_util/file_util.h"
#include "fuzz_support.h"
#include "log/log.h"
#include "sequencer/sequencer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  const std::string log(reinterpret_cast<const char*>(data), size);
  sandbox.write(upd::dfuStatusPath, log);
  ::unlink(sandbox.path(upd::statusFilePath).c_str());
  const std::string before = "  0 percent ";
  upd::appendProgressFigure(before.c_str(), before.size());
  upd::currentStep = upd::BT_MOD_SET_FIRM_STACK;
  upd::StepEvent = upd::STEP_DFU_RUNNING;
  upd::runUpdateStep();
  FUZZ_CHECK(upd::StepEvent == upd::STEP_DFU_RUNNING);

  // The figure: the text of the log's first four bytes without the blanks
  // or line end that follow a shorter one.
  std::string figure = fuzz::cText(log.substr(0, 4));
  while (!figure.empty() && std::strchr(" \t\r\n", figure.back()) != nullptr) figure.pop_back();
  const std::string status = sandbox.read(upd::statusFilePath);
  if (figure.empty()) {
    FUZZ_CHECK(status == before);
    return 0;
  }
  const std::string shown = figure + " percent ";
  FUZZ_CHECK(shown.size() > 9 && shown.size() <= 4 + 9);
  FUZZ_CHECK(status == (shown.size() == before.size() ? shown : before + shown));
  return 0;
}
