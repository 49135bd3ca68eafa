// The full key walk of the module read step: 1024 GET requests against a
// module that answers at once. One end of a socket pair sits in the module
// slot; the loop plays the module on the other end, answering every GET with
// a two-word value. Measured per request: readAllPSKeys, the serial reader
// and pskeyReqRsp appending the dump line (the module's side, one recv and
// one send on the socket pair, is included and small). The 3-second pause
// after the open is not part of it: the channel is set up without an open.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_sandbox.h"
#include "bt_module/bt_module.h"
#include "platform/platform.h"
#include "sequencer/sequencer.h"
#include "sim/sim.h"
#include "update_process/update_process.h"

namespace {

constexpr int walkLength = 1024;
constexpr size_t requestSize = 5 + 96;  // HCI header, descriptor, message

struct Board {
  std::string root;
  int peer = -1;

  Board() : root(bench::makeSandbox()) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) std::abort();
    peer = fds[1];
    upd::pollSet.slots[0] = {-1, POLLIN, 0};
    upd::pollSet.slots[1] = {fds[0], POLLIN | POLLPRI, 0};
    upd::pollSet.nfds = 2;
    upd::pollSet.moduleSlot = 1;
    upd::LinkMode = upd::LINK_SERIAL_HCI;
  }
  ~Board() {
    ::close(upd::pollSet.slots[1].fd);
    ::close(peer);
    upd::pollSet.nfds = 1;
    upd::pollSet.moduleSlot = 0;
    std::remove((root + "/tmp/pskeydump.psr").c_str());
    ::rmdir((root + "/tmp").c_str());
    ::rmdir((root + "/board").c_str());
    ::rmdir(root.c_str());
  }
};

void BM_ModuleWalk(benchmark::State& state) {
  Board board;
  // The vendor event of a successful GET response with the value 1002 00a8.
  uint8_t answer[] = {0x04, 0xFF, 0x15, 0xC2, 0x01, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70,
                      0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x07, 0x00, 0x02, 0x10, 0xa8, 0x00};
  static_assert(sizeof answer == 3 + 0x15, "parameter length");
  uint8_t request[256];
  for (auto _ : state) {
    platform::remove("/tmp/pskeydump.psr");
    upd::resetKeyWalk();
    for (int key = 0; key < walkLength; ++key) {
      upd::StepEvent = upd::STEP_WAIT;  // an answer counts only while one is awaited
      upd::readAllPSKeys();
      ssize_t n = ::recv(board.peer, request, sizeof request, 0);
      if (n != static_cast<ssize_t>(requestSize)) {
        state.SkipWithError("no GET request on the wire");
        return;
      }
      answer[3 + 11] = request[5 + 10];  // key id of the request
      answer[3 + 12] = request[5 + 11];
      if (::send(board.peer, answer, sizeof answer, 0) != static_cast<ssize_t>(sizeof answer)) {
        state.SkipWithError("answer not sent");
        return;
      }
      upd::readBtModule();
      if (upd::StepEvent != upd::STEP_REPLY) {
        state.SkipWithError("response not taken");
        return;
      }
    }
    upd::StepEvent = upd::STEP_WAIT;
    upd::readAllPSKeys();  // the end of the walk
    if (upd::StepEvent != upd::STEP_DONE) {
      state.SkipWithError("walk did not end");
      return;
    }
  }
  state.counters["requests"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * walkLength);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * walkLength);
  // Wall-clock time per request, the figure held against the target.
  state.counters["time_per_request"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * walkLength,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_ModuleWalk)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
