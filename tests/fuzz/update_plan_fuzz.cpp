// The plan (updatetodo.txt): readUpdatePlan takes at most 20 steps, only
// known ones, never more than the lines it read, each from a line that
// begins with the step's key and is no comment, in the order of the file.
#include <cstring>

#include "fuzz_support.h"
#include "sequencer/sequencer.h"

namespace {

struct Step {
  const char* key;
  uint32_t number;
};
const Step steps[] = {{"CHECK_VERSIONS", 1},       {"BT_MOD_SET_READ", 2},
                      {"BT_MOD_SET_COMP", 3},      {"BT_MOD_SET_NEW_WRITE", 4},
                      {"BT_MOD_SET_ALL_WRITE", 5}, {"BT_MOD_SET_FIRM_STACK", 6},
                      {"LAP_SOFTWARE", 7}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const testsupport::Sandbox& sandbox = fuzz::board();
  const std::string text(reinterpret_cast<const char*>(data), size);
  sandbox.write(upd::todoPath, text);
  FUZZ_CHECK(upd::readUpdatePlan(upd::todoPath) == 1);
  FUZZ_CHECK(upd::planCursor == 0);

  std::vector<uint32_t> expected;
  const std::vector<std::string> lines = fuzz::pieces(text);
  for (const std::string& line : lines)
    for (const Step& step : steps)
      if (line[0] != '#' && fuzz::startsWith(line, step.key) && expected.size() < 20)
        expected.push_back(step.number);
  size_t taken = 0;
  while (taken < upd::planSize && upd::updatePlan[taken] != 0) ++taken;
  FUZZ_CHECK(taken <= upd::planMaxSteps && taken <= lines.size());
  for (size_t i = taken; i < upd::planSize; ++i) FUZZ_CHECK(upd::updatePlan[i] == 0);
  for (size_t i = 0; i < taken; ++i)
    FUZZ_CHECK(upd::updatePlan[i] >= upd::CHECK_VERSIONS && upd::updatePlan[i] <= upd::LAP_SOFTWARE);
  FUZZ_CHECK(std::vector<uint32_t>(upd::updatePlan, upd::updatePlan + taken) == expected);
  return 0;
}
