// The command line, the channel by which a second start hands its file to the running one, and
// the loading of such files in the window.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/CommandLine.h"
#include "app/ExternalOpen.h"
#include "app/InstanceChannel.h"
#include "app_test_support.h"
#include "ui/DataFiles.h"
#include "ui/SpeedButton.h"

namespace apptest {
namespace {

using namespace std::chrono_literals;
using Action = app::CommandLine::Action;
using Status = app::HandOverResult::Status;

TEST(CommandLineTest, FilesOptionsAndMistakes) {
  struct Case {
    std::vector<std::string> arguments;
    Action action;
    std::string path;  // the file made absolute; empty: none
    bool play;
    std::string error_names;  // a part of the error message
  };
  const std::string here = "/home/user/録音";
  const Case cases[] = {
      {{}, Action::kRun, "", false, ""},
      {{"a.wav"}, Action::kRun, here + "/a.wav", false, ""},
      {{"./sub//./b.mp3"}, Action::kRun, here + "/sub/b.mp3", false, ""},
      // ".." stays: after a symbolic link it does not mean the folder the text suggests.
      {{"../x/c.ogg"}, Action::kRun, here + "/../x/c.ogg", false, ""},
      {{"/data/d.wav", "--play"}, Action::kRun, "/data/d.wav", true, ""},
      {{"--play", "e.wav"}, Action::kRun, here + "/e.wav", true, ""},
      {{"--", "--play"}, Action::kRun, here + "/--play", false, ""},
      {{"-"}, Action::kRun, here + "/-", false, ""},
      {{"--help"}, Action::kHelp, "", false, ""},
      {{"-h", "a.wav", "b.wav"}, Action::kHelp, "", false, ""},
      {{"--version", "--play"}, Action::kVersion, "", false, ""},
      {{"--bogus", "--help"}, Action::kError, "", false, "--bogus"},
      {{"-p", "a.wav"}, Action::kError, "", false, "-p"},
      {{"--play=a.wav"}, Action::kError, "", false, "--play=a.wav"},
      {{"--play"}, Action::kError, "", false, "--play"},
      {{"a.wav", "b.wav"}, Action::kError, "", false, "b.wav"},
      {{""}, Action::kError, "", false, "空"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.arguments) shown += "[" + a + "] ";
    SCOPED_TRACE(shown);
    const app::CommandLine line = app::ParseCommandLine(c.arguments, here);
    EXPECT_EQ(line.action, c.action);
    EXPECT_EQ(line.has_file, !c.path.empty());
    EXPECT_EQ(line.file.path, c.path);
    EXPECT_EQ(line.file.play, c.play);
    EXPECT_EQ(line.ExitStatus(), c.action == Action::kError ? 2 : 0);
    if (c.action == Action::kError) {
      EXPECT_NE(line.error.find(c.error_names), std::string::npos) << line.error;
    }
  }
  // The current folder could not be found: an absolute file is still fine, a relative one not.
  EXPECT_EQ(app::ParseCommandLine({"/a.wav"}, {}).file.path, "/a.wav");
  EXPECT_EQ(app::ParseCommandLine({"a.wav"}, {}).action, Action::kError);

  const std::string help = app::HelpText();
  for (const char* part : {"使い方: verbat [--play] [ファイル]", "--play", "--help", "--version"}) {
    EXPECT_NE(help.find(part), std::string::npos) << part;
  }
}

TEST(InstanceMessageTest, DecodesOnlyWholeAbsoluteRequests) {
  using app::DecodeStatus;
  const std::string path = "/録音/a b\n.wav";  // any byte but NUL may be in a file name
  app::OpenRequest got;
  for (bool play : {false, true}) {
    const std::string message = app::EncodeOpenRequest({path, play});
    for (size_t cut = 0; cut < message.size(); ++cut) {
      ASSERT_EQ(app::DecodeOpenRequest(message.substr(0, cut), &got), DecodeStatus::kIncomplete)
          << cut;
    }
    ASSERT_EQ(app::DecodeOpenRequest(message, &got), DecodeStatus::kComplete);
    EXPECT_EQ(got, (app::OpenRequest{path, play}));
  }
  const std::string kNul(1, '\0');
  const std::string malformed[] = {
      "open" + kNul + "relative.wav" + kNul,
      "open" + kNul + kNul,
      "stop" + kNul + "/a.wav" + kNul,
      "hello world",
      "open" + kNul + "/a.wav" + kNul + "play" + kNul + "/b.wav" + kNul,
      "open" + kNul + "/" + std::string(app::kMaxRequestBytes, 'a'),
  };
  for (const std::string& bytes : malformed) {
    EXPECT_EQ(app::DecodeOpenRequest(bytes, &got), DecodeStatus::kMalformed) << bytes.substr(0, 40);
  }
}

// Both ends in one process: the running instance's server on this thread's event loop, the
// second start's HandOver on a thread of its own (it blocks until answered).
class ChannelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureApplication(); }
  void SetUp() override {
    char name[] = "/tmp/verbat-channel-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);  // mode 0700
    dir = name;
    socket_path = dir / "Verbat.socket";
  }
  void TearDown() override {
    server.reset();
    std::error_code ignored;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(dir, ignored);
  }

  void Listen(app::InstanceServer::Options options = {}) {
    std::string error;
    server = app::InstanceServer::Listen(socket_path, options, &error);
    ASSERT_NE(server, nullptr) << error;
    server->Start([this](const app::OpenRequest& request) { received.push_back(request); });
  }

  app::HandOverResult HandOverFromThread(const app::OpenRequest& request,
                                         std::chrono::milliseconds timeout = 5s,
                                         uid_t owner = ::getuid()) {
    app::HandOverResult result;
    std::atomic<bool> done{false};
    std::thread second([&] {
      result = app::HandOver(socket_path, request, timeout, owner);
      done = true;
    });
    ProcessUntil([&] { return done.load(); }, timeout + 5s);
    second.join();
    return result;
  }

  // A raw connection to the server: sends `bytes`, then returns what comes back until the
  // server closes (bounded).
  std::string Exchange(const std::string& bytes) {
    const int fd = Connect();
    if (fd < 0) return "<no connection>";
    EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    std::string answer;
    bool closed = false;
    ProcessUntil(
        [&] {
          char buffer[64];
          pollfd entry{fd, POLLIN, 0};
          while (::poll(&entry, 1, 0) > 0) {
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got <= 0) return closed = true;
            answer.append(buffer, static_cast<size_t>(got));
          }
          return false;
        },
        5s);
    ::close(fd);
    return closed ? answer : answer + "<not closed>";
  }

  int Connect() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  std::filesystem::path dir;
  std::filesystem::path socket_path;
  std::unique_ptr<app::InstanceServer> server;
  std::vector<app::OpenRequest> received;
};

TEST_F(ChannelTest, HandsFilesOverPastAStaleSocketAndEndsWithTheServer) {
  // A crashed instance's socket: still there, nobody listening.
  {
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(stale);
  }
  EXPECT_EQ(HandOverFromThread({"/a.wav", false}, 300ms).status, Status::kNoListener);

  Listen();
  struct stat status {};
  ASSERT_EQ(::lstat(socket_path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  const app::OpenRequest first{"/録音/面談 1.wav", true};
  const app::OpenRequest second{"/録音/面談 2.mp3", false};
  for (const app::OpenRequest& request : {first, second}) {
    const app::HandOverResult result = HandOverFromThread(request);
    EXPECT_EQ(result.status, Status::kDelivered) << result.reason;
  }
  EXPECT_EQ(received, (std::vector<app::OpenRequest>{first, second}));

  server.reset();
  EXPECT_FALSE(std::filesystem::exists(socket_path)) << "the socket outlived its server";
  EXPECT_EQ(HandOverFromThread(first, 300ms).status, Status::kNoListener);
}

TEST_F(ChannelTest, OtherUsersAreRefusedBothWays) {
  // The running instance takes requests from another user only: this process's are refused.
  std::vector<uid_t> asked;
  app::InstanceServer::Options options;
  options.accept_user = [&asked](uid_t uid) {
    asked.push_back(uid);
    return uid == ::getuid() + 1;
  };
  Listen(options);
  app::HandOverResult result = HandOverFromThread({"/a.wav", true});
  EXPECT_EQ(result.status, Status::kFailed);
  EXPECT_EQ(asked, std::vector<uid_t>{::getuid()}) << "the peer's credentials were not read";
  EXPECT_TRUE(received.empty());

  // A second start never gives its file to a folder (and so a listener) of another user.
  result = HandOverFromThread({"/a.wav", true}, 1s, ::getuid() + 1);
  EXPECT_EQ(result.status, Status::kFailed);
  EXPECT_NE(result.reason.find("another user"), std::string::npos) << result.reason;
  EXPECT_EQ(asked.size(), 1u) << "it connected all the same";

  // Nor to one that others can enter; nor does the running instance listen there.
  server.reset();
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  result = HandOverFromThread({"/a.wav", true}, 1s);
  EXPECT_EQ(result.status, Status::kFailed);
  EXPECT_NE(result.reason.find("0700"), std::string::npos) << result.reason;
  std::string error;
  EXPECT_EQ(app::InstanceServer::Listen(socket_path, &error), nullptr);
  EXPECT_NE(error.find("0700"), std::string::npos) << error;
}

TEST_F(ChannelTest, BadAndSilentSendersDoNotBlockTheNext) {
  app::InstanceServer::Options options;
  options.read_timeout = 300ms;
  Listen(options);
  const int silent = Connect();
  ASSERT_GE(silent, 0);
  const std::string kNul(1, '\0');
  EXPECT_EQ(Exchange("open" + kNul + "relative.wav" + kNul), "bad\n");
  EXPECT_EQ(Exchange("hello world"), "bad\n");
  EXPECT_EQ(Exchange(std::string(app::kMaxRequestBytes + 10, 'x')), "bad\n");
  EXPECT_TRUE(received.empty());

  const app::HandOverResult result = HandOverFromThread({"/b.wav", false});
  EXPECT_EQ(result.status, Status::kDelivered) << result.reason;
  EXPECT_EQ(received.size(), 1u);

  // The silent sender is let go once its time is up.
  char byte;
  bool closed = false;
  ProcessUntil([&] { return closed = ::recv(silent, &byte, 1, MSG_DONTWAIT) == 0; }, 5s);
  EXPECT_TRUE(closed);
  ::close(silent);
}

// Files from outside the window: loaded as if dropped, then played when asked and loaded.
class ExternalOpenTest : public MainFormTest {
 protected:
  app::OpenRequest Request(const std::string& name, bool play) {
    WriteWav(Path(name), kRate, 1, 16, 30);
    return {Path(name), play};
  }
  std::string Loaded() const {
    const media::PlayListItem* item = form->Transport().CurrentItem();
    return item == nullptr ? "" : item->path;
  }
};

TEST_F(ExternalOpenTest, LoadsAsADropAndPlaysOnlyWhatItLoaded) {
  auto* opener = new app::ExternalOpener(*form);
  opener->Request(Request("first.wav", false));
  ASSERT_TRUE(ProcessUntil([&] { return opener->Pending() == 0 && !Loaded().empty(); }));
  EXPECT_EQ(Loaded(), Path("first.wav"));
  EXPECT_EQ(State(), media::kStateStopped);

  opener->Request(Request("second.wav", true));
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }));
  EXPECT_EQ(Loaded(), Path("second.wav"));
  EXPECT_TRUE(form->PlayBtn()->isChecked());

  // While playing, the load is refused with the window's message, and the other file does not
  // start or stop anything.
  opener->Request(Request("third.wav", true));
  ASSERT_TRUE(ProcessUntil([&] { return opener->Pending() == 0 && !messages->Shown().empty(); }));
  EXPECT_EQ(messages->Texts(), QStringList{"再生を停止してから再度実行して下さい"});
  EXPECT_EQ(Loaded(), Path("second.wav"));
  EXPECT_EQ(State(), media::kStatePlaying);
  form->PlayBtn()->click();  // stop
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStateStopped; }));

  // A file the window does not take: its message, and nothing plays.
  messages->Clear();
  opener->Request({Path("notes.txt"), true});
  ASSERT_TRUE(ProcessUntil([&] { return !messages->Shown().empty(); }));
  EXPECT_EQ(messages->Texts(), QStringList{"対象外の拡張子"});
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_FALSE(form->PlayBtn()->isChecked());
}

TEST_F(ExternalOpenTest, WaitsWhileAModalDialogIsUp) {
  auto* opener = new app::ExternalOpener(*form);
  bool loaded_under_dialog = true;
  ModalScript script([&](QWidget* dialog) {
    opener->Request(Request("later.wav", true));
    ProcessUntil([] { return false; }, 600ms);
    loaded_under_dialog = !Loaded().empty();
    static_cast<QDialog*>(dialog)->reject();
  });
  QDialog dialog(form.get());
  dialog.setModal(true);
  dialog.exec();
  EXPECT_TRUE(script.Ran());
  EXPECT_FALSE(loaded_under_dialog) << "the file was loaded under the dialog";
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }));
  EXPECT_EQ(Loaded(), Path("later.wav"));
}

TEST(DataFoldersTest, TheHelpPageIsNotLookedForInTheCurrentFolder) {
  EnsureApplication();
  const QString program = QCoreApplication::applicationDirPath();
  const QStringList own{program, QDir::cleanPath(program + "/../share/verbat")};
  EXPECT_EQ(ui::ProgramDataFolders(), own);
  EXPECT_EQ(ui::DataFolders(), QStringList{QDir::currentPath()} + own);
}

}  // namespace
}  // namespace apptest
