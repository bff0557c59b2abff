// Save As: the work file moved under the chosen name on a thread of its own, while the main
// thread waits for it.
#pragma once

#include <optional>
#include <string>
#include <thread>

#include "record/FileMove.h"

namespace app {

class TWaveSaveThread {
 public:
  TWaveSaveThread(std::string work_file, std::string destination)
      : work_file_(std::move(work_file)), destination_(std::move(destination)) {}
  ~TWaveSaveThread() { WaitFor(); }
  TWaveSaveThread(const TWaveSaveThread&) = delete;
  TWaveSaveThread& operator=(const TWaveSaveThread&) = delete;

  void Start() {
    thread_ = std::thread([this] { MoveWorkFile(); });
  }
  void WaitFor() {
    if (thread_.joinable()) thread_.join();
  }
  // After WaitFor: why the move failed, or nothing when it succeeded.
  const std::optional<record::MoveError>& Error() const { return error_; }

 private:
  // Renames, or copies across file systems, flushes and removes: the recording then exists
  // only under the chosen name. A failure keeps the work file where it was.
  void MoveWorkFile() { error_ = record::MoveFile(work_file_, destination_); }

  const std::string work_file_;
  const std::string destination_;
  std::optional<record::MoveError> error_;
  std::thread thread_;
};

}  // namespace app
