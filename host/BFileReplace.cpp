#include "BFileReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace QVT {

namespace {

std::string Reason(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

bool SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool WriteAll(int fd, std::string_view content) {
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int QVRenameFile(const std::string& temporary, const std::string& target) {
  return std::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : -1;
}

bool QVReplaceFile(const std::string& path, std::string_view content, int mode, const FileRenamer& rename,
                   std::string* why) {
  std::string failure;
  std::string temporary = path + ".tmpXXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    failure = Reason("cannot create a temporary file");
  } else {
    if (mode == kKeepFileMode) {
      struct stat existing {};
      mode = ::stat(path.c_str(), &existing) == 0 ? static_cast<int>(existing.st_mode & 07777) : 0644;
    }
    if (!WriteAll(fd, content)) {
      failure = Reason("cannot write the temporary file");
    } else if (::fchmod(fd, static_cast<mode_t>(mode)) != 0 || ::fsync(fd) != 0) {
      failure = Reason("cannot sync the temporary file");
    }
    if (::close(fd) != 0 && failure.empty()) failure = Reason("cannot close the temporary file");
    if (failure.empty() && rename(temporary, path) != 0) failure = Reason("cannot rename the temporary file over it");
    if (!failure.empty()) ::unlink(temporary.c_str());
  }
  if (failure.empty() && !SyncFolderOf(path)) failure = Reason("cannot sync its folder");
  if (why != nullptr) *why = failure;
  return failure.empty();
}

}  // namespace QVT
