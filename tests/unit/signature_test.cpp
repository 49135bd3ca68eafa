// SHA-512: the standard's vectors, fed in pieces of several sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "image/sha512.h"

namespace {

std::string sha512Hex(const std::string& message, size_t piece) {
  upd::Sha512 hash;
  upd::sha512Init(hash);
  for (size_t at = 0; at < message.size(); at += piece)
    upd::sha512Update(hash, message.data() + at, std::min(piece, message.size() - at));
  uint8_t digest[64];
  upd::sha512Final(hash, digest);
  std::string hex;
  for (uint8_t byte : digest) hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  return hex;
}

TEST(Sha512, StandardVectorsInPieces) {
  const std::pair<std::string, const char*> vectors[] = {
      {"abc", "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
      {"", "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
           "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
       "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
       "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
      {std::string(1000000, 'a'),
       "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
       "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"}};
  for (const auto& [message, digest] : vectors) {
    for (size_t piece : {size_t{1}, size_t{111}, size_t{128}, size_t{4093}, size_t{1} << 20})
      EXPECT_EQ(sha512Hex(message, piece), digest) << message.size() << " bytes, pieces " << piece;
  }
}

}  // namespace
