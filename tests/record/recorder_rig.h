// Shared by the recorder's tests: an owner that keeps what the recorder told it, a free-space
// query the test sets, a folder of its own, and reading back a work file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "record/RecAudio.h"
#include "tests/media/wav_file.h"

namespace record_test {

using namespace std::chrono_literals;

class Owner : public record::RecorderOwner {
 public:
  void ShowRecorderMessage(const std::string& text, record::MessageStyle style) override {
    shown.push_back(text);
    styles.push_back(style);
  }
  void PostRecorderStop(const std::string& message) override {
    std::lock_guard lock(mutex_);
    stops_.push_back(message);
    cv_.notify_all();
  }
  // The stop requests so far, after waiting (at most 10 s) until there are at least `n`.
  std::vector<std::string> Stops(size_t n = 0) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 10s, [&] { return stops_.size() >= n; });
    return stops_;
  }
  std::vector<std::string> shown;  // main thread only
  std::vector<record::MessageStyle> styles;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> stops_;
};

// Free bytes the test sets; a negative value makes the query fail.
struct Disk {
  std::atomic<int64_t> free{int64_t{1} << 40};
  record::FreeSpaceQuery Query() {
    return [this](const std::string&) -> std::optional<uint64_t> {
      const int64_t v = free.load();
      if (v < 0) return std::nullopt;
      return static_cast<uint64_t>(v);
    };
  }
};

// A folder that is removed with the object, under `parent`.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = "/tmp") {
    std::string pattern = parent + "/verbat-rec-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Waits (at most 10 s) until the recorder has written `bytes` of sound.
inline bool WaitForBytes(const record::RecAudio& rec, uint64_t bytes) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (rec.RecordedBytes() != bytes) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The data size field of a WAV header in `file`.
inline uint32_t DataSize(const std::vector<uint8_t>& file) {
  if (file.size() < 44) return 0;
  return static_cast<uint32_t>(file[40] | file[41] << 8 | file[42] << 16 | file[43] << 24);
}

}  // namespace record_test
