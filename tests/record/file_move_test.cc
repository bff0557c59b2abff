// Saving a recording by moving the work file: within one file system, across file systems (a
// tmpfs work folder and the build folder's disk), and failures that must keep the source.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "record/FileMove.h"
#include "tests/record/recorder_rig.h"

namespace record {
namespace {

using media_test::ReadAll;
using record_test::TempDir;

void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> v;
  for (const auto& e : std::filesystem::directory_iterator(dir)) v.push_back(e.path().filename());
  std::sort(v.begin(), v.end());
  return v;
}

// A work folder on a tmpfs and a destination on the build folder's disk, which rename cannot
// join (checked with a real rename).
class AcrossFileSystems : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string probe = work.path() + "/probe";
    Write(probe, {1});
    const bool exdev =
        std::rename(probe.c_str(), (disk.path() + "/probe").c_str()) != 0 && errno == EXDEV;
    std::filesystem::remove(probe);
    std::filesystem::remove(disk.path() + "/probe");
    if (!exdev) {
      const char* ci = std::getenv("CI");
      if (ci && std::strcmp(ci, "true") == 0)
        FAIL() << "/dev/shm and the build folder share a file system";
      GTEST_SKIP()
          << "/dev/shm and the build folder are one file system here: no cross-device move";
    }
  }
  TempDir work{"/dev/shm"};
  TempDir disk{VERBAT_BINARY_DIR};
  const std::vector<uint8_t> recording = media_test::Pattern(3 * 1048576 + 123);
  const std::vector<uint8_t> old_file = media_test::Pattern(1000, 2);
};

TEST_F(AcrossFileSystems, CopiesReplacesTheDestinationAndRemovesTheSource) {
  const std::string src = work.path() + "/VerbatWav.wav";
  const std::string dst = disk.path() + "/saved.wav";
  Write(src, recording);
  chmod(src.c_str(), 0640);
  Write(dst, old_file);
  const auto error = MoveFile(src, dst);
  ASSERT_FALSE(error) << error->Describe();
  EXPECT_FALSE(std::filesystem::exists(src));
  EXPECT_EQ(ReadAll(dst), recording);
  struct stat st {};
  stat(dst.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Names(disk.path()), std::vector<std::string>{"saved.wav"});
}

// Each failure names its step and cause, keeps the source, leaves an existing destination as it
// was and no copy behind: a missing destination folder (within and across file systems), a
// copy cut short by the system (a file size limit), and a destination that is a folder.
TEST_F(AcrossFileSystems, FailuresKeepTheSourceAndReport) {
  struct Case {
    const char* name;
    std::string src_dir, dst;
    const char* operation;
    int err;
    bool size_limit;
  };
  const Case cases[] = {
      {"missing folder, same file system", work.path(), work.path() + "/no/saved.wav", "move",
       ENOENT, false},
      {"missing folder", work.path(), disk.path() + "/no/saved.wav", "move", ENOENT, false},
      {"copy cut short", work.path(), disk.path() + "/saved.wav", "write", EFBIG, true},
      {"destination is a folder", work.path(), disk.path() + "/folder", "rename", EISDIR, false},
  };
  std::filesystem::create_directory(disk.path() + "/folder");
  Write(disk.path() + "/folder/inside", {1});
  Write(disk.path() + "/saved.wav", old_file);
  const auto before = Names(disk.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string src = c.src_dir + "/VerbatWav.wav";
    Write(src, recording);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    if (c.size_limit) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit small{100000, old.rlim_max};
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    const auto error = MoveFile(src, c.dst);
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->error.operation, c.operation);
    EXPECT_EQ(error->error.cause.value(), c.err) << error->Describe();
    EXPECT_FALSE(error->destination_complete);
    EXPECT_EQ(ReadAll(src), recording);
    EXPECT_EQ(ReadAll(disk.path() + "/saved.wav"), old_file);
    EXPECT_EQ(Names(disk.path()), before);
    EXPECT_EQ(Names(work.path()), std::vector<std::string>{"VerbatWav.wav"});
  }
}

TEST(FileMove, WithinOneFileSystemRenames) {
  TempDir dir;
  const std::string src = dir.path() + "/VerbatWav.wav";
  Write(src, {1, 2, 3});
  ASSERT_FALSE(MoveFile(src, dir.path() + "/saved.wav"));
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"saved.wav"});
  EXPECT_EQ(ReadAll(dir.path() + "/saved.wav"), (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace record
