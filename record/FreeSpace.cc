#include "record/FreeSpace.h"

#include <sys/statvfs.h>

#include <cerrno>

namespace record {

std::optional<uint64_t> GetFreeBytes(const std::string& path) {
  struct statvfs fs {};
  int r;
  do {
    r = ::statvfs(path.c_str(), &fs);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return std::nullopt;
  // f_bavail leaves out the blocks kept for the superuser, which a recording cannot use.
  return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
}

}  // namespace record
