// Stand-in for the daemon's verifier while it is not in this tree, for the
// simulated board and the tests on the build host only: SHA-512 and Ed25519
// through OpenSSL's libcrypto. The hash's context pointer lives in state[0].
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "image/ed25519.h"
#include "image/sha512.h"

namespace upd {

void sha512Init(Sha512& hash) {
  std::memset(&hash, 0, sizeof hash);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_sha512(), nullptr);
  std::memcpy(&hash.state[0], &context, sizeof context);
}

void sha512Update(Sha512& hash, const void* data, size_t size) {
  EVP_MD_CTX* context = nullptr;
  std::memcpy(&context, &hash.state[0], sizeof context);
  EVP_DigestUpdate(context, data, size);
  hash.length += size;
}

void sha512Final(Sha512& hash, uint8_t digest[64]) {
  EVP_MD_CTX* context = nullptr;
  std::memcpy(&context, &hash.state[0], sizeof context);
  EVP_DigestFinal_ex(context, digest, nullptr);
  EVP_MD_CTX_free(context);
  std::memset(&hash, 0, sizeof hash);
}

int ed25519Verify(const uint8_t signature[64], const uint8_t publicKey[32], const ByteSpan* parts,
                  size_t count) {
  std::vector<uint8_t> message;
  for (size_t i = 0; i < count; ++i)
    message.insert(message.end(), parts[i].data, parts[i].data + parts[i].size);
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, 32);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const int good = key != nullptr && context != nullptr &&
                   EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                   EVP_DigestVerify(context, signature, 64, message.data(), message.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  return good ? 1 : 0;
}

}  // namespace upd
