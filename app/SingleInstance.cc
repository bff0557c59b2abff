#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace app {

std::filesystem::path SingleInstance::DefaultLockFile() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && std::filesystem::is_directory(runtime)) {
    return std::filesystem::path(runtime) / "Verbat.lock";
  }
  // A folder of this user's own, so that another user can neither take the lock nor plant a
  // file in its place.
  std::error_code ignored;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path(ignored) / ("verbat-" + std::to_string(::getuid()));
  ::mkdir(folder.c_str(), 0700);
  return folder / "Verbat.lock";
}

SingleInstance::SingleInstance(std::filesystem::path lock_file)
    : lock_file_(std::move(lock_file)) {}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool SingleInstance::Acquire() {
  if (fd_ >= 0) return true;
  struct stat folder {};
  const std::filesystem::path parent = lock_file_.parent_path();
  if (::lstat(parent.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
      folder.st_uid != ::getuid()) {
    std::fprintf(stderr, "verbat: no folder of this user's for the lock file %s\n",
                 lock_file_.c_str());
    return true;
  }
  const int fd = ::open(lock_file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "verbat: cannot open the lock file %s: %s\n", lock_file_.c_str(),
                 std::strerror(errno));
    return true;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

}  // namespace app
