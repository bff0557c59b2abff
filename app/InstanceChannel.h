// The channel by which a second start hands its file to the running Verbat: a local (AF_UNIX)
// stream socket "Verbat.socket" beside the single-instance lock, in a folder that must be the
// user's own and closed to everyone else (mode 0700).
//
// One connection carries one request: "open" or "play", a NUL, the absolute path, a NUL. The
// running instance answers "ok\n" once it has taken the request (the load itself follows in its
// event loop, so a message box there never holds the second process up) or "bad\n" for a
// request it cannot read, and closes. Each side checks the other's user through the socket's
// peer credentials: a request from another user's process is refused, and a file name is never
// given to a listener of another user.
//
// Who listens is decided by the lock: only its holder makes the socket, removing whatever a
// crashed instance left at that name first.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <QObject>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/CommandLine.h"

class QSocketNotifier;
class QTimer;

namespace app {

// The socket beside the lock file.
std::filesystem::path InstanceSocketPath(const std::filesystem::path& lock_file);

// Whether `folder` may hold the channel: a real folder (not a link) owned by `owner` that no one
// else can enter. The reason when not.
std::optional<std::string> CheckPrivateFolder(const std::filesystem::path& folder, uid_t owner);

// The request as it goes over the socket, and back. Decoding reports a message that is not yet
// complete apart from one that can never be read (a relative or empty path, an unknown verb,
// more than kMaxRequestBytes).
inline constexpr size_t kMaxRequestBytes = 8192;
std::string EncodeOpenRequest(const OpenRequest& request);
enum class DecodeStatus { kIncomplete, kComplete, kMalformed };
DecodeStatus DecodeOpenRequest(std::string_view bytes, OpenRequest* request);

// The running instance's end. Listening starts at once (right after the lock is taken, before
// the application object exists): a request made while the program starts up waits in the
// socket's queue until Start.
class InstanceServer : public QObject {
  Q_OBJECT
 public:
  struct Options {
    // Whether a process of user `uid` may hand over; empty: only this process's own user.
    // Tests put another user in its place.
    std::function<bool(uid_t uid)> accept_user;
    std::chrono::milliseconds read_timeout{5000};  // a connection that says nothing is closed
    int max_connections = 8;  // beyond these, new connections are closed at once
  };
  using Handler = std::function<void(const OpenRequest&)>;

  // Makes the socket at `socket_path` and listens; nullptr with the reason in `error`.
  static std::unique_ptr<InstanceServer> Listen(const std::filesystem::path& socket_path,
                                                std::string* error);
  static std::unique_ptr<InstanceServer> Listen(const std::filesystem::path& socket_path,
                                                const Options& options, std::string* error);
  // Closes every connection and removes the socket (if it is still the one this made).
  ~InstanceServer() override;
  InstanceServer(const InstanceServer&) = delete;
  InstanceServer& operator=(const InstanceServer&) = delete;

  // Serves requests from the event loop from now on; each accepted request goes to `handler`
  // after its answer has been sent. Needs the application object.
  void Start(Handler handler);
  const std::filesystem::path& SocketPath() const { return path_; }

 private:
  struct Connection;
  InstanceServer(int fd, std::filesystem::path path, dev_t device, ino_t inode, Options options);
  void AcceptAll();
  void Receive(int fd);
  void Drop(int fd);

  int listen_fd_;
  std::filesystem::path path_;
  dev_t device_;
  ino_t inode_;
  Options options_;
  Handler handler_;
  QSocketNotifier* notifier_ = nullptr;
  std::map<int, std::unique_ptr<Connection>> connections_;
};

// The second process's end: hands `request` to the instance listening at `socket_path` and
// waits for its answer, all within `timeout`. The socket's folder and the listening process
// must belong to `owner` (this process's user). Needs no application object.
struct HandOverResult {
  enum class Status {
    kDelivered,   // the running instance took the request
    kNoListener,  // nothing listens there (no socket, or it refuses connections)
    kFailed,      // refused, unanswered, or not safe to use; `reason` says which
  };
  Status status = Status::kFailed;
  std::string reason;
};
HandOverResult HandOver(const std::filesystem::path& socket_path, const OpenRequest& request,
                        std::chrono::milliseconds timeout, uid_t owner = ::getuid());

}  // namespace app
