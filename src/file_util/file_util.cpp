// File helpers: each call opens, uses and closes its own stream.
#include "file_util/file_util.h"

#include <cerrno>
#include <cstring>

#include "log/log.h"
#include "platform/platform.h"

namespace upd {

FILE* openFileStream(const char* path, const char* mode) {
  FILE* stream = platform::fopen(path, mode);
  if (stream == nullptr) {
    int error = errno;
    LOG_ERROR(Critical, 110, "open error file %s: 0x%02x %s", path, error, errorText(error));
    return nullptr;
  }
  LOG_INFO(3, "file opened %s with fd \n", path);
  return stream;
}

size_t writeFile(const char* path, const char* mode, const void* bytes, size_t n) {
  FileStream stream(openFileStream(path, mode));
  if (!stream) return 0;
  size_t written = n > 0 ? std::fwrite(bytes, 1, n, stream.get()) : 0;
  if (std::fflush(stream.get()) != 0) written = 0;  // a buffered write that never lands
  if (written < n) {
    int error = errno;
    LOG_ERROR(Critical, 107, "write to %s error %d %s \n", path, error, errorText(error));
  }
  return written;
}

int readFileToBuffer(const char* path, size_t size, char* buffer) {
  FileStream stream(openFileStream(path, "r"));
  if (!stream) return -1;
  size_t stored = 0;
  int c;
  while ((c = std::fgetc(stream.get())) != EOF) {
    if (stored == size) {
      LOG_ERROR(Critical, 106, "No more place in read buffer !!\n");
      break;
    }
    buffer[stored++] = static_cast<char>(c);
  }
  return 1;
}

size_t changeLastBytesInFile(const char* path, const char* replacement, size_t n) {
  if (n > changeBufferSize) return 0;  // no figure is ever that long
  char content[changeBufferSize];
  size_t stored = 0;
  {
    FileStream stream(openFileStream(path, "r"));
    if (!stream) return 0;
    int c;
    while ((c = std::fgetc(stream.get())) != EOF) {
      if (stored == changeBufferSize) {
        LOG_ERROR(Critical, 106, "No more place in read buffer !!\n");
        break;
      }
      content[stored++] = static_cast<char>(c);
    }
  }
  // A file shorter than the replacement takes the replacement whole; nothing
  // is ever written before the start of the content.
  if (stored < n) stored = n;
  std::memcpy(content + stored - n, replacement, n);

  FileStream stream(openFileStream(path, "w"));
  if (!stream) return 0;
  size_t written = stored == 0 ? 0 : std::fwrite(content, 1, stored, stream.get());
  if (std::fflush(stream.get()) != 0) written = 0;
  if (written < stored) {
    int error = errno;
    LOG_ERROR(Critical, 107, "write to %s error %d %s \n", path, error, errorText(error));
  }
  return written;
}

}  // namespace upd
