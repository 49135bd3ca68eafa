// Signed archives on the build host: the message a device verifies, the
// signature sub-images, Ed25519 signing and verification with OpenSSL's
// libcrypto, keys read from PEM files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace updimage {

using Bytes = std::vector<uint8_t>;
using RawKey = std::array<uint8_t, 32>;

// An Ed25519 key from a PEM file: a private key (the public half derived)
// or, unless privateNeeded, a public key. False and *error otherwise.
struct SigningKey {
  RawKey publicKey{};
  Bytes privatePem;  // empty for a public key
};
bool readKey(const std::string& path, bool privateNeeded, SigningKey* key, std::string* error);
// The first 8 bytes of the SHA-512 of the public key, in hex.
std::string keyIdText(const RawKey& publicKey);

// What a device built with keys verifies: the domain text with its NUL,
// the package and the software image each after its length (8 bytes,
// big-endian). The archive must be a good multi-file archive.
Bytes signedMessage(const Bytes& archive);
bool signMessage(const SigningKey& key, const Bytes& message, Bytes* signature,
                 std::string* error);
bool verifyMessage(const RawKey& publicKey, const Bytes& message, const uint8_t* signature);
// The archive with the signature sub-image (one per key id: an earlier
// one by the same key is replaced) placed before the software image.
Bytes withSignature(const Bytes& archive, const RawKey& publicKey, const Bytes& signature);

struct SignatureEntry {
  uint32_t index = 0;       // sub-image
  uint32_t size = 0;
  std::string keyId;        // "" when the sub-image is not 80 bytes
  std::string verdict;      // with a key: "good", "does not match", "another key"
};
struct SignatureReport {
  std::vector<SignatureEntry> signatures;
  bool keyGiven = false;
  std::string keyId;       // of the key given
  std::string deviceText;  // what a device trusting the key says; "" when it takes the archive
};
// The signature sub-images of a good multi-file archive and, with a key,
// each one's verdict and the device's.
SignatureReport examineSignatures(const Bytes& archive, const SigningKey* key);

}  // namespace updimage
