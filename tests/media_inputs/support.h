// Test support for the MP3 and Ogg Vorbis inputs: files made by real encoders in a private
// folder, reference decodes by independent decoders, and a player that runs an input through
// the audio output on the virtual sound card and keeps what reached the speaker.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/InputMedia.h"
#include "media/OutputAudio.h"
#include "platform/sync.h"
#include "platform/virtual_audio.h"

namespace inputs_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Every external command gets this long before it counts as hung.
inline constexpr int kCommandSeconds = 120;

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The first of the tools that is missing, empty when all are there.
inline std::string MissingTool(std::initializer_list<const char*> tools) {
  for (const char* tool : tools) {
    if (!HaveTool(tool)) return tool;
  }
  return {};
}

inline bool OnCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Skips the test when a tool is missing; on CI, where the install script provides them all, a
// missing tool is a failure instead.
#define REQUIRE_TOOLS(...)                                                                 \
  do {                                                                                     \
    const std::string missing_tool = ::inputs_test::MissingTool({__VA_ARGS__});            \
    if (!missing_tool.empty()) {                                                           \
      if (::inputs_test::OnCi()) FAIL() << missing_tool << " is not installed";            \
      GTEST_SKIP() << missing_tool << " is not installed (scripts/install-deps.sh puts it " \
                                      "there)";                                            \
    }                                                                                      \
  } while (0)

// Runs a shell command with a time limit; true when it exited with 0.
inline bool Shell(const std::string& command) {
  const std::string bounded = "timeout " + std::to_string(kCommandSeconds) + " sh -c '" +
                              command + "' >/dev/null 2>&1";
  const int status = std::system(bounded.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The standard output of a command (time-limited), empty when it failed.
inline std::string Capture(const std::string& command) {
  const std::string bounded =
      "timeout " + std::to_string(kCommandSeconds) + " sh -c '" + command + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(bounded.c_str(), "r"), pclose);
  if (!pipe) return {};
  std::string out;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0) out.append(chunk, n);
  return out;
}

inline std::vector<uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<int16_t> ToS16(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
  return out;
}

// A private folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "verbat-inputs-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// Files made by the encoders once per build and kept for every test process that needs them
// (each test case runs in a process of its own): `recipe` is a list of shell commands in which
// "{}" stands for the folder. The folder lies beside the test binary, named after the recipe, and
// appears only complete (made under another name, then renamed). Empty when a command failed.
inline fs::path EncodedFiles(const std::string& name, const std::vector<std::string>& recipe) {
  std::string joined;
  for (const std::string& command : recipe) joined += command + "\n";
  char key[32];
  std::snprintf(key, sizeof key, "%016zx", std::hash<std::string>{}(joined));
  std::error_code ec;
  const fs::path home = fs::read_symlink("/proc/self/exe", ec).parent_path();
  const fs::path dir = (home.empty() ? fs::temp_directory_path() : home) / ("encoded-" + name + "-" + key);
  if (fs::exists(dir / ".complete", ec)) return dir;
  const fs::path making = dir.string() + ".making-" + std::to_string(getpid());
  fs::remove_all(making, ec);
  fs::create_directories(making, ec);
  bool made = !ec;
  for (const std::string& command : recipe) {
    if (!made) break;
    std::string line = command;
    for (size_t at; (at = line.find("{}")) != std::string::npos;) line.replace(at, 2, making.string());
    made = Shell(line);
  }
  if (made) std::ofstream(making / ".complete") << "made\n";
  if (made) fs::rename(making, dir, ec);  // fails when another process was first: its copy counts
  fs::remove_all(making, ec);
  return fs::exists(dir / ".complete", ec) ? dir : fs::path();
}

// A suite over files the encoders make once per build (EncodedFiles), with a scratch folder for
// what its tests write. Suite is the derived fixture, so that each suite has its own files.
template <class Suite>
class EncodedFilesSuite : public testing::Test {
 protected:
  // For SetUpTestSuite: makes the files when every tool is there (else the tests skip in SetUp).
  static void Encode(std::initializer_list<const char*> tools, const std::string& name,
                     const std::vector<std::string>& recipe) {
    if (!MissingTool(tools).empty()) return;
    encoded_ = new fs::path(EncodedFiles(name, recipe));
    scratch_ = new TempDir();
  }
  static void TearDownTestSuite() {
    delete encoded_;
    delete scratch_;
    encoded_ = nullptr;
    scratch_ = nullptr;
  }
  // For SetUp, after REQUIRE_TOOLS: fails when the tools were there but a recipe failed.
  static void RequireEncoded() {
    ASSERT_TRUE(encoded_ && !encoded_->empty()) << "the encoders could not make the test files";
  }

  // A file the encoders made (shared by the test processes: read only).
  static std::string Path(const std::string& name) { return (*encoded_ / name).string(); }
  // A place for what this test writes.
  static std::string Scratch(const std::string& name) { return *scratch_ / name; }

  static inline fs::path* encoded_ = nullptr;
  static inline TempDir* scratch_ = nullptr;
};

// How far a decode is from a reference: the RMS of the difference in units of the limited
// accuracy bound of the frame decoder's conformance test (2^-15 / sqrt(12) of full scale), the
// largest difference in sample steps, and the signal-to-difference ratio.
struct Agreement {
  size_t compared = 0;
  double rms_units = 0;
  int max_diff = 0;
  double snr_db = 0;
};

inline Agreement Compare(const std::vector<int16_t>& got, size_t got_from,
                         const std::vector<int16_t>& ref, size_t ref_from, size_t count) {
  Agreement a;
  double diff2 = 0;
  double sig2 = 0;
  for (size_t i = 0; i < count && got_from + i < got.size() && ref_from + i < ref.size(); ++i) {
    const double r = ref[ref_from + i];
    const double d = got[got_from + i] - r;
    diff2 += d * d;
    sig2 += r * r;
    a.max_diff = std::max(a.max_diff, static_cast<int>(std::abs(d)));
    ++a.compared;
  }
  if (a.compared == 0) return a;
  const double rms = std::sqrt(diff2 / static_cast<double>(a.compared));  // in sample steps
  a.rms_units = rms / (1.0 / std::sqrt(12.0));
  a.snr_db = diff2 == 0 ? 200.0 : 10.0 * std::log10(sig2 / diff2);
  return a;
}

// The frame decoder's limited-accuracy criterion: RMS under 16 units.
inline constexpr double kLimitedRmsUnits = 16.0;

// An input playing through the audio output on a virtual card that consumes every block as soon
// as it is queued. Notifications are recorded; NOTIFY_END also releases WaitForEnd.
class Player {
 public:
  explicit Player(media::InputMedia& input,
                  platform::VirtualCardOptions options = {platform::Pacing::kAsFastAsPossible, 1.0})
      : card_(options), output_(card_), input_(input) {
    output_.SetSpeedDivisor(8);
    input_.SetOutput(&output_);
    input_.SetNotify([this](int32_t code) {
      {
        std::lock_guard lock(mutex_);
        codes_.push_back(code);
        if (code == media::NOTIFY_END) played_at_end_ = card_.LastPlayback();
      }
      if (code == media::NOTIFY_END) ended_.Set();
    });
  }
  ~Player() {
    input_.RequestStop();
    input_.SetNotify(nullptr);
  }

  // Waits for NOTIFY_END, at most `timeout`.
  bool WaitForEnd(platform::Milliseconds timeout = 60s) {
    return ended_.Wait(timeout) == platform::WaitResult::kSignaled;
  }

  std::vector<int32_t> Codes() const {
    std::lock_guard lock(mutex_);
    return codes_;
  }
  int Count(int32_t code) const {
    int n = 0;
    for (int32_t c : Codes()) n += c == code;
    return n;
  }
  // What the device had played when NOTIFY_END came.
  platform::VirtualPlayback AtEnd() const {
    std::lock_guard lock(mutex_);
    return played_at_end_;
  }

  platform::VirtualAudioBackend& card() { return card_; }
  media::OutputAudio& output() { return output_; }

 private:
  platform::VirtualAudioBackend card_;
  media::OutputAudio output_;
  media::InputMedia& input_;
  mutable std::mutex mutex_;
  std::vector<int32_t> codes_;
  platform::VirtualPlayback played_at_end_;
  platform::Event ended_;
};

// On a card that plays only when told, with the reader waiting for a free buffer: plays `frames`
// at a time until the request has been answered. Once the output has been reset (a seek)
// nothing more is played, so what was heard before the seek stays apart from what follows.
inline bool AdvanceUntilAnswered(Player& player, std::future<void>& request, uint64_t frames) {
  const uint64_t resets = player.card().LastPlayback().resets;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (request.wait_for(1ms) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (player.card().LastPlayback().resets == resets) player.card().Advance(frames);
  }
  return true;
}

// Plays a file from `seconds` to its end; the samples that reached the speaker.
inline std::vector<int16_t> PlayToEnd(media::InputMedia& input, const std::string& path,
                                      int32_t seconds = 0, int* resyncs = nullptr) {
  Player player(input);
  media::PlayListItem item(path);
  input.Open(path, item);
  input.Start(seconds);
  EXPECT_TRUE(player.WaitForEnd()) << "no NOTIFY_END within the time limit";
  if (resyncs) *resyncs = player.Count(media::NOTIFY_RESYNC);
  return ToS16(player.AtEnd().played);
}

}  // namespace inputs_test
