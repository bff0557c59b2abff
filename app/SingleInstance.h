// The single-instance lock "Verbat": an advisory lock on a file in the user's runtime folder,
// held for the life of the process. The system releases it when the process ends however it
// ends, so a crash never blocks the next start.
#pragma once

#include <filesystem>
#include <string>

namespace app {

class SingleInstance {
 public:
  // The lock file: "Verbat.lock" in $XDG_RUNTIME_DIR, or in a folder of the user's own under
  // the temporary folder when there is none.
  static std::filesystem::path DefaultLockFile();

  explicit SingleInstance(std::filesystem::path lock_file = DefaultLockFile());
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the lock; false when another process (or another SingleInstance) holds it. A lock
  // file that cannot be made at all does not stop the program: it runs without the guard.
  bool Acquire();
  const std::filesystem::path& LockFile() const { return lock_file_; }

 private:
  std::filesystem::path lock_file_;
  int fd_ = -1;
};

}  // namespace app
