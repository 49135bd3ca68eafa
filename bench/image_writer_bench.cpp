// The image writer against a plain copy of the same bytes, in one run.
// writeImage takes the software image out of an update archive, checks the
// archive and the image, writes the image to the simulated flash sector by
// sector with a progress figure per sector at the end of the status file,
// and removes the archive through the shell word " -rm". Two baselines copy
// the same archive to a file in pieces of one flash sector: the plain copy,
// and the copy followed by the same removal of the archive that the writer
// must make (a shell, the word's script and rm: most of the writer's time on
// a small flash), so that the second ratio shows the writer's own cost. All
// put the archive in place untimed before each round. The status file is long, as
// after some minutes of idle finish lines: the figure's cost once grew with
// it. The argument is the flash size; the image nearly fills its image area.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_bytes.h"
#include "bench_sandbox.h"
#include "image/crc32.h"
#include "image/image.h"
#include "image/image_format.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t sectorSize = 0x10000;
constexpr size_t statusFileSize = 200000;

// An image of the given type around data, with both checksums.
Bytes makeImage(const Bytes& data, uint8_t type, const char* name) {
  Bytes image(64, 0);
  upd::writeBe32(image.data() + upd::headerMagicOffset, upd::IMAGE_MAGIC);
  upd::writeBe32(image.data() + upd::headerDataSizeOffset, static_cast<uint32_t>(data.size()));
  upd::writeBe32(image.data() + upd::headerDataCrcOffset, upd::crc32(data.data(), data.size()));
  image[upd::headerImageTypeOffset] = type;
  std::memcpy(image.data() + upd::headerNameOffset, name, std::strlen(name));
  upd::writeBe32(image.data() + upd::headerCrcOffset, upd::crc32(image.data(), 64));
  image.insert(image.end(), data.begin(), data.end());
  return image;
}

// A multi-file archive: a note, a package, the software image of the
// given size.
Bytes makeArchive(size_t softwareSize) {
  const Bytes software = bench::patternBytes(softwareSize, 7);
  const std::vector<Bytes> parts = {Bytes(4, 1), Bytes(1000, 2),
                                    makeImage(software, 2, "Linux LAP software")};
  Bytes data(4 * (parts.size() + 1), 0);
  for (size_t i = 0; i < parts.size(); ++i) {
    upd::writeBe32(data.data() + 4 * i, static_cast<uint32_t>(parts[i].size()));
    data.insert(data.end(), parts[i].begin(), parts[i].end());
    data.resize(upd::roundUp4(data.size()), 0);
  }
  return makeImage(data, upd::IMAGE_TYPE_MULTI, "LAP update archive");
}

struct Board {
  std::string root;
  Bytes archive;

  explicit Board(long flashSize) : root(bench::makeSandbox()) {
    // The archive's removal runs the shell word " -rm", which lives beside
    // this program, as for update_sim.
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) std::abort();
    std::string path(self, static_cast<size_t>(n));
    path = path.substr(0, path.rfind('/')) + "/shell_words:" + std::getenv("PATH");
    ::setenv("PATH", path.c_str(), 1);
    write("/board/settings", "flash.size = " + std::to_string(flashSize) + "\n");
    upd::checkFlashConfig();
    const auto space = upd::flashLayout.configSectorStart - upd::flashLayout.imageStart;
    archive = makeArchive(static_cast<size_t>(space) - sectorSize);
    write("/tmp/update.log", std::string(statusFileSize, 'x'));
  }
  ~Board() {
    std::string command = "rm -rf '" + root + "'";
    if (std::system(command.c_str()) != 0) std::abort();
  }
  template <typename Content>
  void write(const char* path, const Content& bytes) const {
    int fd = ::open((root + path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      std::abort();
    ::close(fd);
  }
  // The baseline: the archive copied to a file, one sector at a time.
  bool copy() const {
    int in = ::open((root + "/tmp/image").c_str(), O_RDONLY);
    int out = ::open((root + "/board/copy.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    static char piece[sectorSize];
    ssize_t n = 0;
    bool copied = in >= 0 && out >= 0;
    while (copied && (n = ::read(in, piece, sizeof piece)) > 0)
      copied = ::write(out, piece, n) == n;
    ::close(in);
    ::close(out);
    return copied && n == 0;
  }
};

// Rounds of one kind of writing, each after the archive was put in place.
template <typename Round>
void measure(benchmark::State& state, Round round) {
  Board board(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    board.write("/tmp/image", board.archive);
    state.ResumeTiming();
    if (!round(board)) state.SkipWithError("the round failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * board.archive.size()));
}

void BM_PlainCopy(benchmark::State& state) {
  measure(state, [](const Board& board) { return board.copy(); });
}

void BM_CopyThenShellRemove(benchmark::State& state) {
  measure(state, [](const Board& board) {
    return board.copy() && platform::system(" -rm /tmp/image") == 0;
  });
}

void BM_WriteImage(benchmark::State& state) {
  measure(state, [](const Board&) { return upd::writeImage() == 1; });
}

}  // namespace

// Flash sizes of 2 and 4 MiB.
BENCHMARK(BM_PlainCopy)->Arg(0x200000)->Arg(0x400000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyThenShellRemove)->Arg(0x200000)->Arg(0x400000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteImage)->Arg(0x200000)->Arg(0x400000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
