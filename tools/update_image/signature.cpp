// See signature.h.
#include "update_image/signature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "image/image_format.h"
#include "update_image/image_header.h"

namespace updimage {
namespace {

constexpr size_t headerBytes = 64;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

Key privateKeyOf(const Bytes& pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// The sub-images of a multi-file archive whose table has been checked.
std::vector<Bytes> subImages(const Bytes& archive, uint32_t* count) {
  bool terminated = false;
  *count = upd::countSubImages(archive.data(), archive.size(), &terminated);
  std::vector<Bytes> subs;
  for (uint32_t k = 0; k < *count; ++k) {
    const uint8_t* start = archive.data() + upd::subImageOffset(archive.data(), *count, k);
    subs.emplace_back(start, start + upd::subImageSize(archive.data(), k));
  }
  return subs;
}

std::string idAt(const Bytes& sub) {
  char text[2 * upd::signatureKeyIdSize + 1];
  for (size_t i = 0; i < upd::signatureKeyIdSize; ++i)
    std::snprintf(text + 2 * i, 3, "%02x", sub[upd::signatureKeyIdOffset + i]);
  return text;
}

bool isSignature(const Bytes& sub, uint32_t k, uint32_t count) {
  return k >= 2 && k + 1 < count && sub.size() >= upd::signatureMagicSize &&
         std::equal(sub.begin(), sub.begin() + upd::signatureMagicSize, upd::signatureMagic);
}

}  // namespace

bool readKey(const std::string& path, bool privateNeeded, SigningKey* key, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = path + ": cannot be read";
    return false;
  }
  Bytes pem;
  for (int c; (c = std::fgetc(file)) != EOF;) pem.push_back(static_cast<uint8_t>(c));
  std::fclose(file);
  Key pkey = privateKeyOf(pem);
  if (pkey) {
    key->privatePem = pem;
  } else if (!privateNeeded) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    pkey.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  }
  size_t length = key->publicKey.size();
  if (!pkey || EVP_PKEY_id(pkey.get()) != EVP_PKEY_ED25519 ||
      EVP_PKEY_get_raw_public_key(pkey.get(), key->publicKey.data(), &length) != 1) {
    *error = path + ": not an Ed25519 " + (privateNeeded ? "private key" : "key") + " in PEM form";
    return false;
  }
  return true;
}

std::string keyIdText(const RawKey& publicKey) {
  uint8_t digest[64];
  unsigned int size = 0;
  EVP_Digest(publicKey.data(), publicKey.size(), digest, &size, EVP_sha512(), nullptr);
  Bytes sub(upd::signatureImageSize, 0);
  std::copy(digest, digest + upd::signatureKeyIdSize, sub.begin() + upd::signatureKeyIdOffset);
  return idAt(sub);
}

Bytes signedMessage(const Bytes& archive) {
  uint32_t count = 0;
  const std::vector<Bytes> subs = subImages(archive, &count);
  Bytes message(upd::signatureDomain, upd::signatureDomain + upd::signatureDomainSize);
  for (const Bytes* part : {&subs[1], &subs[count - 1]}) {
    uint8_t length[8];
    upd::writeBe64(length, part->size());
    message.insert(message.end(), length, length + sizeof length);
    message.insert(message.end(), part->begin(), part->end());
  }
  return message;
}

bool signMessage(const SigningKey& key, const Bytes& message, Bytes* signature,
                 std::string* error) {
  Key pkey = privateKeyOf(key.privatePem);
  Context context(EVP_MD_CTX_new());
  size_t length = upd::signatureSize;
  signature->assign(length, 0);
  if (!pkey || !context ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1 ||
      EVP_DigestSign(context.get(), signature->data(), &length, message.data(), message.size()) !=
          1) {
    *error = "signing failed";
    return false;
  }
  return true;
}

bool verifyMessage(const RawKey& publicKey, const Bytes& message, const uint8_t* signature) {
  Key pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(),
                                       publicKey.size()));
  Context context(EVP_MD_CTX_new());
  return pkey && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature, upd::signatureSize, message.data(),
                          message.size()) == 1;
}

Bytes withSignature(const Bytes& archive, const RawKey& publicKey, const Bytes& signature) {
  uint32_t count = 0;
  std::vector<Bytes> subs = subImages(archive, &count);
  const std::string id = keyIdText(publicKey);
  for (uint32_t k = count - 1; k-- > 2;)
    if (isSignature(subs[k], k, count) && subs[k].size() == upd::signatureImageSize &&
        idAt(subs[k]) == id)
      subs.erase(subs.begin() + k);
  Bytes sub(upd::signatureMagic, upd::signatureMagic + upd::signatureMagicSize);
  uint8_t digest[64];
  unsigned int size = 0;
  EVP_Digest(publicKey.data(), publicKey.size(), digest, &size, EVP_sha512(), nullptr);
  sub.insert(sub.end(), digest, digest + upd::signatureKeyIdSize);
  sub.insert(sub.end(), signature.begin(), signature.end());
  subs.insert(subs.end() - 1, sub);
  // The header as it was (name, time, codes), with the new data's size and
  // checksums.
  const Bytes data = multiFileData(subs);
  Bytes out(archive.begin(), archive.begin() + headerBytes);
  upd::writeBe32(&out[upd::headerDataSizeOffset], static_cast<uint32_t>(data.size()));
  upd::writeBe32(&out[upd::headerDataCrcOffset], crcUpdate(0, data.data(), data.size()));
  upd::writeBe32(&out[upd::headerCrcOffset], computeHeaderCrc(out.data()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

SignatureReport examineSignatures(const Bytes& archive, const SigningKey* key) {
  SignatureReport report;
  uint32_t count = 0;
  const std::vector<Bytes> subs = subImages(archive, &count);
  const Bytes message = key != nullptr ? signedMessage(archive) : Bytes();
  if (key != nullptr) {
    report.keyGiven = true;
    report.keyId = keyIdText(key->publicKey);
  }
  bool good = false, byKey = false, found = false;
  std::string unknown;
  for (uint32_t k = 2; k + 1 < count; ++k) {
    if (!isSignature(subs[k], k, count)) continue;
    found = true;
    SignatureEntry entry;
    entry.index = k;
    entry.size = static_cast<uint32_t>(subs[k].size());
    if (entry.size == upd::signatureImageSize) entry.keyId = idAt(subs[k]);
    if (key != nullptr && !entry.keyId.empty()) {
      if (entry.keyId != report.keyId) {
        entry.verdict = "another key";
        if (unknown.empty()) unknown = entry.keyId;
      } else {
        byKey = true;
        const bool match =
            verifyMessage(key->publicKey, message, subs[k].data() + upd::signatureOffset);
        entry.verdict = match ? "good" : "does not match";
        good |= match;
      }
    }
    report.signatures.push_back(entry);
  }
  if (key == nullptr || good) return report;
  if (byKey)
    report.deviceText = "archive signature does not match";
  else if (!unknown.empty())
    report.deviceText = "archive signed by an unknown key " + unknown;
  else if (found)
    report.deviceText = "archive signature is not 80 Bytes long";
  else
    report.deviceText = "archive not signed";
  return report;
}

}  // namespace updimage
