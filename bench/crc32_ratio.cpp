// The daemon's CRC-32 against zlib's crc32, as one speed ratio: both over the
// same 1 MiB buffer in alternating rounds, the best round of each counted.
// A plain program, without the benchmark library, so that it also runs on
// the target or under its emulator; the daemon's code is the daemon's own
// build (daemon_core), so the figure is that of the build's flags.
//
//   crc32_ratio [ROUNDS]
//
// Prints "crc32 MiB/s: daemon D, zlib Z, ratio R" (R = D / Z); exit status
// 1 when the two disagree on the checksum.
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_bytes.h"
#include "image/crc32.h"

namespace {

constexpr size_t bufferLength = 1u << 20;
constexpr double minRoundSeconds = 0.05;

volatile uint32_t sink;  // keeps the results alive

// Seconds per pass over the buffer: as many passes as fill one round.
template <typename Crc>
double secondsPerPass(Crc crc) {
  using Clock = std::chrono::steady_clock;
  int passes = 0;
  auto start = Clock::now();
  double elapsed = 0;
  do {
    sink = crc();
    ++passes;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < minRoundSeconds);
  return elapsed / passes;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  if (rounds < 1) rounds = 1;
  const std::vector<uint8_t> bytes = bench::patternBytes(bufferLength);
  auto daemonCrc = [&] { return upd::crc32(bytes.data(), bytes.size()); };
  auto zlibCrc = [&] {
    return static_cast<uint32_t>(::crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
  };
  if (daemonCrc() != zlibCrc()) {
    std::fprintf(stderr, "crc32_ratio: the daemon's CRC %08X differs from zlib's %08X\n",
                 static_cast<unsigned>(daemonCrc()), static_cast<unsigned>(zlibCrc()));
    return 1;
  }
  double bestDaemon = 1e30, bestZlib = 1e30;
  for (int round = 0; round < rounds; ++round) {
    double daemonSeconds = secondsPerPass(daemonCrc);
    double zlibSeconds = secondsPerPass(zlibCrc);
    if (daemonSeconds < bestDaemon) bestDaemon = daemonSeconds;
    if (zlibSeconds < bestZlib) bestZlib = zlibSeconds;
  }
  const double mebibytes = static_cast<double>(bufferLength) / (1 << 20);
  std::printf("crc32 MiB/s: daemon %.0f, zlib %.0f, ratio %.2f\n", mebibytes / bestDaemon,
              mebibytes / bestZlib, bestZlib / bestDaemon);
  return 0;
}
