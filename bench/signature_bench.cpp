// The signature check of an archive for a 4 MiB flash: ed25519Verify on a
// 4 MiB message against OpenSSL's EVP_DigestVerify on the same message, and
// SHA-512 throughput against OpenSSL's SHA512. After the benchmarks it prints
// "ed25519 verify of 4 MiB: ours A ms, OpenSSL B ms, ratio R" (R = A / B,
// best of alternating rounds in this run, in processor time).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "bench_bytes.h"
#include "image/ed25519.h"
#include "image/sha512.h"

namespace {

constexpr size_t messageLength = 4u << 20;

// A key and its signature of the 4 MiB message, made once.
struct Signed {
  std::vector<uint8_t> message = bench::patternBytes(messageLength);
  uint8_t key[32] = {}, signature[64] = {};
  EVP_PKEY* publicKey = nullptr;
  Signed() {
    uint8_t seed[32] = {1, 2, 3};
    EVP_PKEY* secret = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32);
    size_t keySize = 32, signatureSize = 64;
    EVP_PKEY_get_raw_public_key(secret, key, &keySize);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, secret);
    EVP_DigestSign(context, signature, &signatureSize, message.data(), message.size());
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(secret);
    publicKey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key, 32);
  }
  int ours() const {
    upd::ByteSpan part = {message.data(), message.size()};
    return upd::ed25519Verify(signature, key, &part, 1);
  }
  int openssl() const {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    int valid = EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, publicKey) == 1 &&
                EVP_DigestVerify(context, signature, 64, message.data(), message.size()) == 1;
    EVP_MD_CTX_free(context);
    return valid;
  }
};

const Signed& signedMessage() {
  static const Signed value;
  return value;
}

void BM_UpdVerify4MiB(benchmark::State& state) {
  const Signed& s = signedMessage();
  for (auto _ : state) {
    if (s.ours() != 1) state.SkipWithError("the signature does not verify");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * messageLength);
}

void BM_OpenSslVerify4MiB(benchmark::State& state) {
  const Signed& s = signedMessage();
  for (auto _ : state) {
    if (s.openssl() != 1) state.SkipWithError("the signature does not verify");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * messageLength);
}

// The curve arithmetic alone: an empty message.
void BM_UpdVerifyEmpty(benchmark::State& state) {
  const Signed& s = signedMessage();
  upd::ByteSpan none = {nullptr, 0};
  for (auto _ : state) benchmark::DoNotOptimize(upd::ed25519Verify(s.signature, s.key, &none, 1));
}

void BM_UpdSha512(benchmark::State& state) {
  auto bytes = bench::patternBytes(static_cast<size_t>(state.range(0)));
  uint8_t digest[64];
  for (auto _ : state) {
    upd::Sha512 hash;
    upd::sha512Init(hash);
    upd::sha512Update(hash, bytes.data(), bytes.size());
    upd::sha512Final(hash, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslSha512(benchmark::State& state) {
  auto bytes = bench::patternBytes(static_cast<size_t>(state.range(0)));
  uint8_t digest[64];
  for (auto _ : state) benchmark::DoNotOptimize(SHA512(bytes.data(), bytes.size(), digest));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Processor seconds one call of verify takes (the figure does not depend on
// what else the machine runs).
template <typename Verify>
double secondsOf(Verify verify) {
  std::clock_t start = std::clock();
  verify();
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

}  // namespace

BENCHMARK(BM_UpdVerify4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslVerify4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdVerifyEmpty)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UpdSha512)->Arg(1 << 20);
BENCHMARK(BM_OpenSslSha512)->Arg(1 << 20);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const Signed& s = signedMessage();
  double ours = 1e30, openssl = 1e30;
  for (int round = 0; round < 20; ++round) {
    double a = secondsOf([&] { benchmark::DoNotOptimize(s.ours()); });
    double b = secondsOf([&] { benchmark::DoNotOptimize(s.openssl()); });
    if (a < ours) ours = a;
    if (b < openssl) openssl = b;
  }
  std::printf("ed25519 verify of 4 MiB: ours %.2f ms, OpenSSL %.2f ms, ratio %.2f\n", ours * 1e3,
              openssl * 1e3, ours / openssl);
  return 0;
}
