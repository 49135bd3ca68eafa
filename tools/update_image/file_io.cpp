// Reading files, and temporary files and folders renamed into place; see
// file_io.h.
#include "update_image/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace updimage {
namespace {

bool failWith(const std::string& path, std::string* error) {
  *error = path + ": " + std::strerror(errno);
  return false;
}

// The folder part of a path ("." for a bare name) and the rest.
std::string folderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

bool isEmptyFolder(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  int entries = 0;
  while (const struct dirent* item = ::readdir(dir))
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) ++entries;
  ::closedir(dir);
  return entries == 0;
}

void removeTree(const std::string& path) {
  ::nftw(
      path.c_str(),
      [](const char* item, const struct stat*, int, struct FTW*) { return ::remove(item), 0; }, 8,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace

uint32_t withUmask(uint32_t mode) {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mode & ~static_cast<uint32_t>(mask);
}

bool readFileStart(const std::string& path, size_t limit, std::string* bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failWith(path, error);
  bytes->clear();
  char buffer[65536];
  while (bytes->size() < limit) {
    ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - bytes->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return n == 0 || failWith(path, error);
    }
    bytes->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(temporary_.c_str());
  }
}

bool OutputFile::open(const std::string& path, uint32_t mode, std::string* error) {
  path_ = path;
  mode_ = mode;
  std::string templ = path + ".tmpXXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) return failWith(path, error);
  temporary_ = name.data();
  return true;
}

bool OutputFile::write(const uint8_t* bytes, size_t length, std::string* error) {
  while (length > 0) {
    ssize_t n = ::write(fd_, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failWith(path_, error);
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool OutputFile::commit(std::string* error) {
  if (::fchmod(fd_, mode_) != 0 || ::fsync(fd_) != 0) return failWith(path_, error);
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 || ::rename(temporary_.c_str(), path_.c_str()) != 0) {
    int saved = errno;
    ::unlink(temporary_.c_str());
    errno = saved;
    return failWith(path_, error);
  }
  return true;
}

bool writeWholeFile(const std::string& path, const uint8_t* bytes, size_t length,
                    std::string* error) {
  OutputFile out;
  return out.open(path, withUmask(0666), error) && out.write(bytes, length, error) &&
         out.commit(error);
}

OutputFolder::~OutputFolder() {
  if (!temporary_.empty()) removeTree(temporary_);
}

bool OutputFolder::open(const std::string& path, std::string* error) {
  path_ = path;
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return failWith(path, error);
    }
    // Extract never mixes its files with others.
    errno = 0;
    if (!isEmptyFolder(path_)) {
      if (errno == 0) errno = ENOTEMPTY;
      return failWith(path, error);
    }
  } else if (errno != ENOENT) {
    return failWith(path, error);
  }
  std::string templ = path_ + ".partXXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) return failWith(path, error);
  temporary_ = name.data();
  ::chmod(temporary_.c_str(), withUmask(0777));
  return true;
}

bool OutputFolder::commit(std::string* error) {
  // rename() replaces an empty folder of that name.
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) return failWith(path_, error);
  temporary_.clear();
  return true;
}

bool liesInside(const std::string& path, const std::string& folder) {
  const std::string base = resolved(folder);
  std::string where = resolved(path);
  if (where.empty()) where = resolved(folderOf(path));
  if (base.empty() || where.empty()) return false;
  return where == base || where.compare(0, base.size() + 1, base + "/") == 0;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa;
  struct stat sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace updimage
