// The plan (updatetodo.txt): readUpdatePlan takes at most 20 steps, known
// ones only, never more than the lines it read, each from a line that is no
// comment and begins with the step's key, in the order of the file.
#include <algorithm>

#include "fuzz_support.h"
#include "sequencer/sequencer.h"

namespace {

const char* const stepKeys[] = {
    "CHECK_VERSIONS",       "BT_MOD_SET_READ",       "BT_MOD_SET_COMP", "BT_MOD_SET_NEW_WRITE",
    "BT_MOD_SET_ALL_WRITE", "BT_MOD_SET_FIRM_STACK", "LAP_SOFTWARE"};  // steps 1 to 7

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzz::board().write(upd::todoPath, text);
  FUZZ_CHECK(upd::readUpdatePlan(upd::todoPath) == 1 && upd::planCursor == 0);
  std::vector<uint32_t> expected;
  const std::vector<std::string> lines = fuzz::pieces(text);
  for (const std::string& line : lines)
    for (uint32_t step = 1; step <= 7; ++step)
      if (line[0] != '#' && fuzz::startsWith(line, stepKeys[step - 1]) && expected.size() < 20)
        expected.push_back(step);
  expected.resize(upd::planSize, 0);
  const std::vector<uint32_t> plan(upd::updatePlan, upd::updatePlan + upd::planSize);
  FUZZ_CHECK(static_cast<size_t>(std::count(plan.begin(), plan.end(), 0)) + lines.size() >=
             upd::planSize);
  FUZZ_CHECK(plan == expected);
  return 0;
}
