// SHA-512 and Ed25519 verification: published vectors, their corruptions,
// non-canonical encodings, and agreement with OpenSSL on random signatures.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "image/ed25519.h"
#include "image/sha512.h"
#ifdef UPDATE_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), 0, 16));
  return out;
}

Bytes sha512(const std::string& message, size_t piece) {
  upd::Sha512 hash;
  upd::sha512Init(hash);
  for (size_t at = 0; at < message.size(); at += piece)
    upd::sha512Update(hash, message.data() + at, std::min(piece, message.size() - at));
  Bytes digest(64);
  upd::sha512Final(hash, digest.data());
  return digest;
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
      EXPECT_EQ(sha512(message, piece), fromHex(digest)) << message.size() << " bytes, " << piece;
  }
}

// Our verdict, the message given in three parts.
int verify(const Bytes& signature, const Bytes& key, const Bytes& message) {
  const size_t size = message.size();
  const upd::ByteSpan parts[] = {{message.data(), size / 3},
                                 {message.data() + size / 3, size - size / 3 - size / 2},
                                 {message.data() + size - size / 2, size / 2}};
  return upd::ed25519Verify(signature.data(), key.data(), parts, 3);
}

Bytes flipped(Bytes bytes, size_t bit) { return bytes[bit / 8] ^= 1 << bit % 8, bytes; }

// S + L for the signature's S (S < L < 2^253: no carry out of 256 bits).
Bytes withSPlusL(Bytes signature) {
  const Bytes order = fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  for (int i = 0, carry = 0; i < 32; ++i, carry >>= 8)
    signature[32 + i] = carry += signature[32 + i] + order[i];
  return signature;
}

TEST(Ed25519, PublishedVectorsAndTheirCorruptions) {
  // Public key, message, signature (RFC 8032 7.1: TEST 1, 2, 3, SHA(abc)).
  const char* vectors[][3] = {
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
       "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
      {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
       "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
      {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
       "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
      {"ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf", nullptr,
       "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b589"
       "09351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"}};
  for (const auto& vector : vectors) {
    Bytes key = fromHex(vector[0]), signature = fromHex(vector[2]);
    Bytes message = vector[1] ? fromHex(vector[1]) : sha512("abc", 3);
    SCOPED_TRACE(vector[0]);
    EXPECT_EQ(verify(signature, key, message), 1);
    for (size_t bit : {0, 77, 254, 255}) {
      EXPECT_EQ(verify(flipped(signature, bit), key, message), 0) << "R bit " << bit;
      EXPECT_EQ(verify(flipped(signature, 256 + bit), key, message), 0) << "S bit " << bit;
      EXPECT_EQ(verify(signature, flipped(key, bit), message), 0) << "A bit " << bit;
    }
    EXPECT_EQ(verify(signature, key, message.empty() ? Bytes{0} : flipped(message, 3)), 0);
    EXPECT_EQ(verify(withSPlusL(signature), key, message), 0);
  }
}

TEST(Ed25519, OnlyCanonicalPointsOnTheCurve) {
  // With A the neutral point, R = B and S = 1 satisfy [S]B = R + [k]A for
  // any k, and so do R the neutral point and S = 0: each is refused with A
  // or R given as another encoding of the neutral point (y = p + 1, or x = 0
  // with its sign bit set). So are y = p and a y (2) of no point on the curve.
  const std::string zeros(60, '0'), s1 = "01" + zeros + "00", s0 = "00" + zeros + "00";
  const std::string neutral = "01" + zeros + "00", base = "58" + std::string(62, '6');
  const std::string high = "ee" + std::string(60, 'f') + "7f", signed0 = "01" + zeros + "80";
  const std::string yIsP = "ed" + std::string(60, 'f') + "7f", offCurve = "02" + zeros + "00";
  const Bytes message = fromHex("af82");
  EXPECT_EQ(verify(fromHex(base + s1), fromHex(neutral), message), 1);
  EXPECT_EQ(verify(fromHex(neutral + s0), fromHex(neutral), message), 1);
  for (const std::string& point : {high, signed0, yIsP, offCurve}) {
    EXPECT_EQ(verify(fromHex(base + s1), fromHex(point), message), 0) << "A " << point;
    EXPECT_EQ(verify(fromHex(point + s0), fromHex(neutral), message), 0) << "R " << point;
  }
}

// Random keys and messages signed by OpenSSL, and corruptions of them: the
// two verifiers give the same verdict on each.
TEST(Ed25519, AgreesWithOpenSsl) {
#ifndef UPDATE_HAVE_OPENSSL
  GTEST_SKIP() << "OpenSSL is not available for this target";
#else
  std::mt19937 random(8032);
  auto randomBytes = [&](size_t size) {
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<uint8_t>(random()); });
    return bytes;
  };
  int valid = 0;
  for (int round = 0; round < 2000; ++round) {
    Bytes seed = randomBytes(32), key(32), signature(64),
          message = randomBytes(round % 100 == 0 ? 1023 + round : random() % 301);
    EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), 32);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t keySize = 32, signatureSize = 64;
    ASSERT_TRUE(EVP_PKEY_get_raw_public_key(pkey, key.data(), &keySize) == 1 &&
                EVP_DigestSignInit(context, nullptr, nullptr, nullptr, pkey) == 1 &&
                EVP_DigestSign(context, signature.data(), &signatureSize, message.data(),
                               message.size()) == 1);
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(pkey);
    size_t bits = 8 * message.size();
    switch (round % 6) {
      case 1: signature = flipped(signature, random() % 512); break;
      case 2: key = flipped(key, random() % 256); break;
      case 3: message = bits ? flipped(message, random() % bits) : Bytes{1}; break;
      case 4: signature = withSPlusL(signature); break;
      case 5: key = randomBytes(32); break;
    }
    pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), 32);
    context = EVP_MD_CTX_new();
    int theirs = pkey && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey) == 1 &&
                 EVP_DigestVerify(context, signature.data(), 64, message.data(),
                                  message.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(pkey);
    EXPECT_EQ(verify(signature, key, message), theirs) << "round " << round;
    valid += theirs;
  }
  EXPECT_GE(valid, 2000 / 6);  // at least the untouched ones
#endif
}

}  // namespace
