#include "record/FileMove.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace record {

namespace {

MoveError Error(const std::string& operation, const std::string& path, int err) {
  return {{operation, path, std::error_code(err, std::generic_category())}, false};
}

// Closes a descriptor and removes the temporary copy it belongs to, unless told it is kept.
class TempCopy {
 public:
  TempCopy(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~TempCopy() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlink(path_.c_str());
  }
  TempCopy(const TempCopy&) = delete;
  TempCopy& operator=(const TempCopy&) = delete;
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  int Close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
  }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  int fd_;
  bool kept_ = false;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::optional<MoveError> CopyAcross(const std::string& source, const std::string& destination) {
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return Error("open", source, errno);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return Error("open", source, errno);
  if (!S_ISREG(st.st_mode)) return Error("open", source, EINVAL);

  // The copy grows under a hidden name in the destination's folder, so that the final rename
  // stays within one file system and a destination that exists is replaced in one step.
  const std::filesystem::path dest(destination);
  std::filesystem::path folder = dest.parent_path();
  if (folder.empty()) folder = ".";
  std::string pattern = (folder / ("." + dest.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return Error("create", pattern, errno);
  TempCopy copy(name.data(), fd);
  ::fchmod(copy.fd(), st.st_mode & 07777);

  std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error("read", source, errno);
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(copy.fd(), buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return Error("write", copy.path(), w == 0 ? ENOSPC : errno);
      done += w;
    }
  }
  if (::fsync(copy.fd()) != 0) return Error("flush", copy.path(), errno);
  if (copy.Close() != 0) return Error("close", copy.path(), errno);
  if (::rename(copy.path().c_str(), destination.c_str()) != 0) {
    return Error("rename", destination, errno);
  }
  copy.Keep();
  // The new name itself must survive a crash before the old file goes.
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());

  if (::unlink(source.c_str()) != 0) {
    MoveError e = Error("remove", source, errno);
    e.destination_complete = true;
    return e;
  }
  return std::nullopt;
}

}  // namespace

std::optional<MoveError> MoveFile(const std::string& source, const std::string& destination) {
  if (::rename(source.c_str(), destination.c_str()) == 0) return std::nullopt;
  if (errno != EXDEV) return Error("move", source + " to " + destination, errno);
  return CopyAcross(source, destination);
}

}  // namespace record
