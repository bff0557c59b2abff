#include "app/InstanceChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

namespace app {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view kOpenVerb = "open";
constexpr std::string_view kPlayVerb = "play";
constexpr std::string_view kAnswerOk = "ok\n";
constexpr std::string_view kAnswerBad = "bad\n";
// A listener that is there but has not made its socket yet (it takes the lock first) is asked
// again for this long.
constexpr milliseconds kConnectWindow{2000};

std::string SystemError(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

// Closes a descriptor when it goes out of scope.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::optional<std::string> SocketAddress(const std::filesystem::path& path, sockaddr_un* address) {
  const std::string& text = path.native();
  *address = {};
  address->sun_family = AF_UNIX;
  if (text.empty() || text.size() >= sizeof(address->sun_path)) {
    return "the socket name is too long for a local socket: " + text;
  }
  std::memcpy(address->sun_path, text.c_str(), text.size() + 1);
  return std::nullopt;
}

// The user of the process at the other end of a connected local socket.
std::optional<uid_t> PeerUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof(credentials)) {
    return std::nullopt;
  }
  return credentials.uid;
}

}  // namespace

std::filesystem::path InstanceSocketPath(const std::filesystem::path& lock_file) {
  return lock_file.parent_path() / "Verbat.socket";
}

std::optional<std::string> CheckPrivateFolder(const std::filesystem::path& folder, uid_t owner) {
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0) {
    return SystemError(("cannot look at the folder " + folder.string()).c_str(), errno);
  }
  if (!S_ISDIR(status.st_mode)) return "not a folder: " + folder.string();
  if (status.st_uid != owner) return "the folder belongs to another user: " + folder.string();
  if ((status.st_mode & 077) != 0) {
    return "other users can enter the folder " + folder.string() + " (it must be mode 0700)";
  }
  return std::nullopt;
}

std::string EncodeOpenRequest(const OpenRequest& request) {
  std::string message(request.play ? kPlayVerb : kOpenVerb);
  message += '\0';
  message += request.path;
  message += '\0';
  return message;
}

DecodeStatus DecodeOpenRequest(std::string_view bytes, OpenRequest* request) {
  const size_t verb_end = bytes.find('\0');
  if (verb_end == std::string_view::npos) {
    return bytes.size() > kPlayVerb.size() ? DecodeStatus::kMalformed : DecodeStatus::kIncomplete;
  }
  const std::string_view verb = bytes.substr(0, verb_end);
  if (verb != kOpenVerb && verb != kPlayVerb) return DecodeStatus::kMalformed;
  const size_t path_end = bytes.find('\0', verb_end + 1);
  if (path_end == std::string_view::npos) {
    return bytes.size() >= kMaxRequestBytes ? DecodeStatus::kMalformed : DecodeStatus::kIncomplete;
  }
  const std::string_view path = bytes.substr(verb_end + 1, path_end - verb_end - 1);
  // Only one request per connection, and only an absolute path: the sender made it absolute in
  // its own folder, which the running instance does not share.
  if (path_end + 1 != bytes.size() || path.empty() || path.front() != '/' ||
      bytes.size() > kMaxRequestBytes) {
    return DecodeStatus::kMalformed;
  }
  request->path = std::string(path);
  request->play = verb == kPlayVerb;
  return DecodeStatus::kComplete;
}

// ---------------------------------------------------------------------------------------------
// The running instance's end

struct InstanceServer::Connection {
  int fd = -1;
  std::string received;
  QSocketNotifier* notifier = nullptr;
  QTimer* deadline = nullptr;
};

std::unique_ptr<InstanceServer> InstanceServer::Listen(const std::filesystem::path& socket_path,
                                                       std::string* error) {
  return Listen(socket_path, Options{}, error);
}

std::unique_ptr<InstanceServer> InstanceServer::Listen(const std::filesystem::path& socket_path,
                                                       const Options& options, std::string* error) {
  if (auto reason = CheckPrivateFolder(socket_path.parent_path(), ::getuid())) {
    *error = *reason;
    return nullptr;
  }
  sockaddr_un address;
  if (auto reason = SocketAddress(socket_path, &address)) {
    *error = *reason;
    return nullptr;
  }
  FdGuard fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    *error = SystemError("cannot make a local socket", errno);
    return nullptr;
  }
  // Whatever is at the name was left by an instance that ended without removing it: the lock
  // this process holds says that no other instance runs.
  if (::unlink(socket_path.c_str()) != 0 && errno != ENOENT) {
    *error = SystemError(("cannot remove the old socket " + socket_path.string()).c_str(), errno);
    return nullptr;
  }
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    *error = SystemError(("cannot make the socket " + socket_path.string()).c_str(), errno);
    return nullptr;
  }
  struct stat status {};
  if (::chmod(socket_path.c_str(), 0600) != 0 || ::lstat(socket_path.c_str(), &status) != 0 ||
      ::listen(fd.get(), 16) != 0) {
    *error = SystemError(("cannot listen on " + socket_path.string()).c_str(), errno);
    ::unlink(socket_path.c_str());
    return nullptr;
  }
  return std::unique_ptr<InstanceServer>(
      new InstanceServer(fd.release(), socket_path, status.st_dev, status.st_ino, options));
}

InstanceServer::InstanceServer(int fd, std::filesystem::path path, dev_t device, ino_t inode,
                               Options options)
    : listen_fd_(fd), path_(std::move(path)), device_(device), inode_(inode), options_(options) {}

InstanceServer::~InstanceServer() {
  // The notifiers and timers are children of this object and go with it.
  while (!connections_.empty()) Drop(connections_.begin()->first);
  // Removed only while it is still this socket: a later instance may already have made its own.
  struct stat status {};
  if (::lstat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
  ::close(listen_fd_);
}

void InstanceServer::Start(Handler handler) {
  handler_ = std::move(handler);
  if (notifier_ != nullptr) return;
  notifier_ = new QSocketNotifier(listen_fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { AcceptAll(); });
  // Requests made while the program started are already waiting.
  QTimer::singleShot(0, this, [this] { AcceptAll(); });
}

void InstanceServer::AcceptAll() {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN: none left; anything else is retried at the next notice
    }
    const std::optional<uid_t> peer = PeerUser(fd);
    const bool accepted =
        peer && (options_.accept_user ? options_.accept_user(*peer) : *peer == ::getuid());
    if (!accepted) {
      if (peer) {
        std::fprintf(stderr, "verbat: refused a file handed over by user %u\n",
                     static_cast<unsigned>(*peer));
      }
      ::close(fd);
      continue;
    }
    if (static_cast<int>(connections_.size()) >= options_.max_connections) {
      ::close(fd);
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(connection->notifier, &QSocketNotifier::activated, this, [this, fd] { Receive(fd); });
    // A sender that connects and says nothing would otherwise hold its place for ever.
    connection->deadline = new QTimer(this);
    connection->deadline->setSingleShot(true);
    connect(connection->deadline, &QTimer::timeout, this, [this, fd] { Drop(fd); });
    connection->deadline->start(options_.read_timeout);
    connections_[fd] = std::move(connection);
  }
}

void InstanceServer::Receive(int fd) {
  auto found = connections_.find(fd);
  if (found == connections_.end()) return;
  Connection& connection = *found->second;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // more to come
    if (got <= 0) {
      Drop(fd);  // ended (or failed) before the request was whole
      return;
    }
    connection.received.append(buffer, static_cast<size_t>(got));
    OpenRequest request;
    const DecodeStatus status = DecodeOpenRequest(connection.received, &request);
    if (status == DecodeStatus::kIncomplete) continue;
    const std::string_view answer = status == DecodeStatus::kComplete ? kAnswerOk : kAnswerBad;
    // A few bytes always fit into a fresh socket's buffer; a sender gone already is no error.
    (void)!::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    Drop(fd);
    if (status == DecodeStatus::kComplete && handler_) handler_(request);
    return;
  }
}

void InstanceServer::Drop(int fd) {
  auto found = connections_.find(fd);
  if (found == connections_.end()) return;
  std::unique_ptr<Connection> connection = std::move(found->second);
  connections_.erase(found);
  // Deleted later: Drop may run inside the notifier's or the timer's own signal.
  connection->notifier->setEnabled(false);
  connection->notifier->deleteLater();
  connection->deadline->stop();
  connection->deadline->deleteLater();
  ::close(connection->fd);
}

// ---------------------------------------------------------------------------------------------
// The second process's end

HandOverResult HandOver(const std::filesystem::path& socket_path, const OpenRequest& request,
                        milliseconds timeout, uid_t owner) {
  using Status = HandOverResult::Status;
  auto failed = [](Status status, std::string reason) {
    return HandOverResult{status, std::move(reason)};
  };
  const Clock::time_point deadline = Clock::now() + timeout;
  const std::string message = EncodeOpenRequest(request);
  OpenRequest check;
  if (DecodeOpenRequest(message, &check) != DecodeStatus::kComplete) {
    return failed(Status::kFailed, "not an absolute file name: " + request.path);
  }
  if (auto reason = CheckPrivateFolder(socket_path.parent_path(), owner)) {
    return failed(Status::kFailed, *reason);
  }
  sockaddr_un address;
  if (auto reason = SocketAddress(socket_path, &address)) return failed(Status::kFailed, *reason);

  // Connect; a listener that holds the lock may still be making its socket.
  const Clock::time_point connect_deadline = std::min(deadline, Clock::now() + kConnectWindow);
  int connected = -1;
  for (;;) {
    FdGuard attempt(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (attempt.get() < 0) return failed(Status::kFailed, SystemError("socket", errno));
    if (::connect(attempt.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
        0) {
      connected = attempt.release();
      break;
    }
    const int error = errno;
    if ((error != ENOENT && error != ECONNREFUSED && error != EAGAIN && error != EINTR) ||
        Clock::now() >= connect_deadline) {
      const Status status =
          error == ENOENT || error == ECONNREFUSED ? Status::kNoListener : Status::kFailed;
      return failed(status, SystemError(("cannot reach " + socket_path.string()).c_str(), error));
    }
    std::this_thread::sleep_for(milliseconds(50));
  }
  const FdGuard fd(connected);
  const std::optional<uid_t> peer = PeerUser(fd.get());
  if (!peer || *peer != owner) {
    return failed(Status::kFailed, "the socket " + socket_path.string() +
                                       " is not served by a process of this user");
  }

  auto wait_for = [&](short events) {
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd entry{fd.get(), events, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(left));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  };
  size_t sent = 0;
  while (sent < message.size()) {
    if (!wait_for(POLLOUT)) return failed(Status::kFailed, "the running Verbat took nothing");
    const ssize_t wrote =
        ::send(fd.get(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (wrote < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return failed(Status::kFailed, SystemError("sending the file name", errno));
    }
    sent += static_cast<size_t>(wrote);
  }
  std::string answer;
  while (answer.find('\n') == std::string::npos && answer.size() < 16) {
    if (!wait_for(POLLIN)) return failed(Status::kFailed, "the running Verbat did not answer");
    char buffer[16];
    const ssize_t got = ::recv(fd.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return failed(Status::kFailed, SystemError("reading the answer", errno));
    }
    if (got == 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  if (answer == kAnswerOk) return {Status::kDelivered, {}};
  if (answer == kAnswerBad) return failed(Status::kFailed, "the running Verbat could not read it");
  return failed(Status::kFailed, "the running Verbat closed the connection without an answer");
}

}  // namespace app
