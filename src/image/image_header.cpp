// The image header check shared by the start request and the image writer.
#include <cstring>

#include "image/crc32.h"
#include "image/image.h"
#include "image/image_format.h"
#include "log/log.h"

namespace upd {

int checkHeader(const uint8_t* image, uint32_t length, char* nameOut, uint32_t* countOut) {
  // Callers check the length first; an image shorter than its header is
  // refused here too rather than read past its end.
  if (length < imageHeaderSize) {
    LOG_ERROR(Critical, 106, "image of %u Bytes is shorter than its header\n",
              static_cast<unsigned>(length));
    return -1;
  }
  uint8_t header[imageHeaderSize];
  std::memcpy(header, image, sizeof header);

  if (readBe32(header + headerMagicOffset) != IMAGE_MAGIC) {
    LOG_ERROR(Critical, 106, "Bad Magic Number\n");
    return -1;
  }
  uint32_t headerCrc = readBe32(header + headerCrcOffset);
  writeBe32(header + headerCrcOffset, 0);
  if (crc32(header, sizeof header) != headerCrc) {
    LOG_ERROR(Critical, 106, "Bad Header Checksum\n");
    return -1;
  }
  uint32_t dataLength = length - static_cast<uint32_t>(imageHeaderSize);
  uint32_t dataSize = readBe32(header + headerDataSizeOffset);
  if (dataSize != dataLength) {
    LOG_ERROR(Critical, 106, "image file size %d not equal image data size %d\n",
              static_cast<int>(dataLength), static_cast<int>(dataSize));
    return -1;
  }
  if (crc32(image + imageHeaderSize, dataLength) != readBe32(header + headerDataCrcOffset)) {
    LOG_ERROR(Critical, 106, "Bad Data Checksum\n");
    return -1;
  }
  std::memset(nameOut, 0, imageNameSize + 1);
  std::memcpy(nameOut, header + headerNameOffset, imageNameSize);
  *countOut = 0;
  if (header[headerImageTypeOffset] == IMAGE_TYPE_MULTI) {
    // Only words inside the image are counted; whether the table ends
    // inside it is the callers' check.
    bool terminated = false;
    *countOut = countSubImages(image, length, &terminated);
  }
  return 1;
}

}  // namespace upd
