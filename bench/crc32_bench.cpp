// CRC-32 throughput: the daemon's crc32 (eight bytes per step), the byte-wise
// table method it must equal, and zlib's crc32 on the same buffers; and the
// header check of an 8 MiB archive held in memory.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "bench_bytes.h"
#include "image/crc32.h"
#include "image/image.h"
#include "image/image_format.h"

namespace {

void BM_UpdCrc32(benchmark::State& state) {
  auto bytes = bench::patternBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(upd::crc32(bytes.data(), bytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_UpdCrc32Bytewise(benchmark::State& state) {
  auto bytes = bench::patternBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(upd::crc32Bytewise(bytes.data(), bytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_ZlibCrc32(benchmark::State& state) {
  auto bytes = bench::patternBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(::crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// checkHeader over an 8 MiB single image: header copy, header CRC, data CRC.
void BM_CheckHeader8MiB(benchmark::State& state) {
  constexpr size_t length = 8u << 20;
  auto image = bench::patternBytes(length);
  upd::writeBe32(image.data(), upd::IMAGE_MAGIC);
  upd::writeBe32(image.data() + upd::headerDataSizeOffset, length - 64);
  upd::writeBe32(image.data() + upd::headerDataCrcOffset,
                 upd::crc32(image.data() + 64, length - 64));
  image[upd::headerImageTypeOffset] = 2;
  upd::writeBe32(image.data() + upd::headerCrcOffset, 0);
  upd::writeBe32(image.data() + upd::headerCrcOffset, upd::crc32(image.data(), 64));
  char name[upd::imageNameSize + 1];
  uint32_t count = 0;
  for (auto _ : state) {
    int result = upd::checkHeader(image.data(), static_cast<uint32_t>(length), name, &count);
    if (result != 1) state.SkipWithError("the image does not pass its check");
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}

}  // namespace

BENCHMARK(BM_UpdCrc32)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_ZlibCrc32)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_UpdCrc32Bytewise)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_CheckHeader8MiB);

BENCHMARK_MAIN();
