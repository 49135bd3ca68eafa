// The signature check's time on this build: ed25519Verify over a 4 MiB
// message, and SHA-512 and the curve arithmetic apart. A plain program that
// needs nothing but the daemon's signature library, so that it also runs on
// the target or under its emulator (where OpenSSL, the reference of
// signature_bench, is not at hand).
//
//   signature_time [ROUNDS]
//
// Prints "signature check of 4 MiB: V ms (SHA-512 S MiB/s, curve C ms)",
// best of ROUNDS rounds, in processor time. The signature (of another
// message) does not match: the check does all its work all the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "bench_bytes.h"
#include "image/ed25519.h"
#include "image/sha512.h"

namespace {

constexpr size_t messageLength = 4u << 20;

// A valid key and signature (of the empty message).
constexpr uint8_t key[32] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                             0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                             0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
constexpr uint8_t signature[64] = {
    0xe5, 0x56, 0x43, 0x00, 0xc3, 0x60, 0xac, 0x72, 0x90, 0x86, 0xe2, 0xcc, 0x80,
    0x6e, 0x82, 0x8a, 0x84, 0x87, 0x7f, 0x1e, 0xb8, 0xe5, 0xd9, 0x74, 0xd8, 0x73,
    0xe0, 0x65, 0x22, 0x49, 0x01, 0x55, 0x5f, 0xb8, 0x82, 0x15, 0x90, 0xa3, 0x3b,
    0xac, 0xc6, 0x1e, 0x39, 0x70, 0x1c, 0xf9, 0xb4, 0x6b, 0xd2, 0x5b, 0xf5, 0xf0,
    0x59, 0x5b, 0xbe, 0x24, 0x65, 0x51, 0x41, 0x43, 0x8e, 0x7a, 0x10, 0x0b};

volatile int sink;  // keeps the results alive

template <typename Work>
double seconds(Work work) {
  std::clock_t start = std::clock();
  work();
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  if (rounds < 1) rounds = 1;
  const std::vector<uint8_t> message = bench::patternBytes(messageLength);
  const upd::ByteSpan whole = {message.data(), message.size()}, none = {nullptr, 0};
  if (upd::ed25519Verify(signature, key, &none, 1) != 1) {
    std::fprintf(stderr, "signature_time: the empty message's signature does not verify\n");
    return 1;
  }
  double verify = 1e30, hash = 1e30, curve = 1e30;
  for (int round = 0; round < rounds; ++round) {
    double v = seconds([&] { sink = upd::ed25519Verify(signature, key, &whole, 1); });
    double h = seconds([&] {
      upd::Sha512 sha;
      uint8_t digest[64];
      upd::sha512Init(sha);
      upd::sha512Update(sha, message.data(), message.size());
      upd::sha512Final(sha, digest);
      sink = digest[0];
    });
    double c = seconds([&] { sink = upd::ed25519Verify(signature, key, &none, 1); });
    if (v < verify) verify = v;
    if (h < hash) hash = h;
    if (c < curve) curve = c;
  }
  std::printf("signature check of 4 MiB: %.1f ms (SHA-512 %.0f MiB/s, curve %.2f ms)\n",
              verify * 1e3, 4 / hash, curve * 1e3);
  return 0;
}
