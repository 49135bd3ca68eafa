// The simulated module's wire trace per packet: the whole trace of one
// packet (its raw line appended to board/wire.log and its decoded line to
// board/wire.txt) against the decoding alone, for the two packets of a GET
// of the key walk on the serial link (request and vendor event answer).
// The figure to read is decode_share: the part of the trace's cost that the
// decoding takes.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/virtual_module.h"
#include "sim/wire_trace.h"

namespace {

namespace vm = sim::vmodule;

// A GET request for key 0x0191 on the serial link, and the answer with its
// ten words.
std::vector<uint8_t> request() {
  std::vector<uint8_t> p = {0x01, 0x00, 0xfc, 0x61, 0xc2, 0x00, 0x00, 0x30, 0x00, 0xa5, 0x0f,
                            0x03, 0x70, 0x00, 0x00, 0x91, 0x01, 0x28, 0x00, 0x07, 0x00};
  p.resize(101, 0);
  return p;
}
std::vector<uint8_t> answer() {
  std::vector<uint8_t> p = {0x04, 0xff, 0x61, 0xc2, 0x01, 0x00, 0x30, 0x00, 0xa5, 0x0f, 0x03,
                            0x70, 0x00, 0x00, 0x91, 0x01, 0x0a, 0x00, 0x07, 0x00, 0x02, 0x10,
                            0xa8, 0x00, 0xfa, 0x00, 0x14, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04,
                            0x00, 0x1e, 0x00, 0x64, 0x00, 0x0a, 0x00};
  p.resize(100, 0);
  return p;
}

std::string rawLine(char direction, const std::vector<uint8_t>& bytes) {
  std::string line = std::string("12:00:00.000 ") + direction + " cfUaB0";
  char hex[4];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, " %02x", b);
    line += hex;
  }
  return line;
}

struct Board {
  std::string root;
  Board() {
    char templ[] = "/tmp/updbench.XXXXXX";
    if (::mkdtemp(templ) == nullptr) std::abort();
    root = templ;
    ::mkdir((root + "/board").c_str(), 0755);
    std::string error;
    if (!sim::configure(root, 0.01, &error)) std::abort();
  }
  ~Board() {
    std::remove((root + "/board/wire.log").c_str());
    std::remove((root + "/board/wire.txt").c_str());
    ::rmdir((root + "/board").c_str());
    ::rmdir(root.c_str());
  }
};

void BM_WireTrace(benchmark::State& state) {
  Board board;
  const std::vector<uint8_t> out = request();
  const std::vector<uint8_t> in = answer();
  const std::string outLine = rawLine('>', out);
  const std::string inLine = rawLine('<', in);
  double traced = 0;
  double decoded = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    vm::traceWire('>', "cfUaB0", out.data(), out.size());
    vm::traceWire('<', "cfUaB0", in.data(), in.size());
    auto middle = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(sim::wiretrace::decodeLine(outLine));
    benchmark::DoNotOptimize(sim::wiretrace::decodeLine(inLine));
    auto end = std::chrono::steady_clock::now();
    traced += std::chrono::duration<double>(middle - start).count();
    decoded += std::chrono::duration<double>(end - middle).count();
    if (state.iterations() % 1024 == 0) {
      state.PauseTiming();
      std::remove((board.root + "/board/wire.log").c_str());
      std::remove((board.root + "/board/wire.txt").c_str());
      state.ResumeTiming();
    }
  }
  state.counters["decode_share"] = traced > 0 ? decoded / traced : 0;
  state.counters["trace_us_per_packet"] = traced / static_cast<double>(state.iterations()) / 2 * 1e6;
}
BENCHMARK(BM_WireTrace)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
