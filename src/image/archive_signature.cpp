// Signature check of update archives; compiled in only for a daemon built
// with trusted keys.
#if UPDATE_SIGNED_ARCHIVES
#include "image/archive_signature.h"

#include <cstdio>
#include <cstring>

#include "image/ed25519.h"
#include "image/image_format.h"
#include "image/sha512.h"
#include "image/trusted_keys.h"
#include "log/log.h"

namespace upd {
namespace {

constexpr uint32_t packageIndex = 1;
constexpr size_t digestSize = 64;
constexpr size_t rejectionSize = 52;  // the start reply's 51 payload bytes and a spare

uint8_t softwareDigest[digestSize];
bool softwareVerified = false;
char rejection[rejectionSize];
bool rejected = false;

void refuse(const char* text) {
  std::snprintf(rejection, sizeof rejection, "%s", text);
  rejected = true;
  OPERATION_ERROR("startUpdate", Critical, 106, "%s", rejection);
}

void sha512Of(const uint8_t* data, size_t size, uint8_t digest[digestSize]) {
  Sha512 hash;
  sha512Init(hash);
  sha512Update(hash, data, size);
  sha512Final(hash, digest);
}

// The trusted key whose id is keyId; nullptr when none.
const uint8_t* trustedKey(const uint8_t* keyId) {
  for (const auto& key : trustedKeys) {
    uint8_t digest[digestSize];
    sha512Of(key, sizeof key, digest);
    if (std::memcmp(digest, keyId, signatureKeyIdSize) == 0) return key;
  }
  return nullptr;
}

}  // namespace

void forgetVerifiedSoftware() {
  softwareVerified = false;
  rejected = false;
}

const char* archiveRejection() { return rejected ? rejection : nullptr; }

bool checkArchiveSignature(const uint8_t* archive, size_t length, uint32_t count) {
  const uint8_t* package = archive + subImageOffset(archive, count, packageIndex);
  const uint32_t packageSize = subImageSize(archive, packageIndex);
  const uint8_t* software = archive + subImageOffset(archive, count, count - 1);
  const uint32_t softwareSize = subImageSize(archive, count - 1);
  uint8_t packageLength[8];
  uint8_t softwareLength[8];
  writeBe64(packageLength, packageSize);
  writeBe64(softwareLength, softwareSize);
  const ByteSpan message[] = {
      {reinterpret_cast<const uint8_t*>(signatureDomain), signatureDomainSize},
      {packageLength, sizeof packageLength},
      {package, packageSize},
      {softwareLength, sizeof softwareLength},
      {software, softwareSize}};

  // Every signature sub-image is looked at, so that an archive signed with
  // an old and a new key is taken by devices that trust either.
  const uint8_t* unknownId = nullptr;
  bool signedByTrusted = false;
  bool found = false;
  for (uint32_t k = 2; k + 1 < count; ++k) {
    if (!isSignatureImage(archive, count, k, length)) continue;
    found = true;
    const uint8_t* signature = archive + subImageOffset(archive, count, k);
    if (subImageSize(archive, k) != signatureImageSize) continue;
    const uint8_t* key = trustedKey(signature + signatureKeyIdOffset);
    if (key == nullptr) {
      if (unknownId == nullptr) unknownId = signature + signatureKeyIdOffset;
      continue;
    }
    signedByTrusted = true;
    if (ed25519Verify(signature + signatureOffset, key, message,
                      sizeof message / sizeof message[0]) == 1) {
      sha512Of(software, softwareSize, softwareDigest);
      softwareVerified = true;
      return true;
    }
  }
  char text[rejectionSize];
  if (signedByTrusted) {
    refuse("archive signature does not match\n");
  } else if (unknownId != nullptr) {
    char id[2 * signatureKeyIdSize + 1];
    for (size_t i = 0; i < signatureKeyIdSize; ++i)
      std::snprintf(id + 2 * i, 3, "%02x", unknownId[i]);
    std::snprintf(text, sizeof text, "archive signed by an unknown key %s\n", id);
    refuse(text);
  } else if (found) {
    std::snprintf(text, sizeof text, "archive signature is not %u Bytes long\n",
                  static_cast<unsigned>(signatureImageSize));
    refuse(text);
  } else {
    refuse("archive not signed\n");
  }
  return false;
}

bool checkVerifiedSoftware(const uint8_t* image, uint32_t size) {
  uint8_t digest[digestSize];
  sha512Of(image, size, digest);
  if (softwareVerified && std::memcmp(digest, softwareDigest, digestSize) == 0) return true;
  OPERATION_ERROR("writeImage", Critical, 106,
                  "software image is not the one verified at the start; flash not written\n");
  return false;
}

}  // namespace upd
#endif
