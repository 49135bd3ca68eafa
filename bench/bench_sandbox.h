// The sandbox a benchmark runs the daemon's code in: a fresh folder under
// /tmp with the daemon's tmp/ and the board's folder, the simulated
// platform pointed at it.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "sim/sim.h"

namespace bench {

inline std::string makeSandbox() {
  char templ[] = "/tmp/updbench.XXXXXX";
  if (::mkdtemp(templ) == nullptr) std::abort();
  std::string root = templ;
  for (const char* folder : {"/tmp", "/board"}) ::mkdir((root + folder).c_str(), 0755);
  std::string error;
  if (!sim::configure(root, 0.01, &error)) std::abort();
  return root;
}

}  // namespace bench
