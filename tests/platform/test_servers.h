// Loopback servers for the transport tests: cpp-httplib servers started on an
// ephemeral port of 127.0.0.1, and a raw socket server whose handler writes
// whatever bytes a test needs (misbehaving servers included). Each stops and
// joins its threads when it goes out of scope.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace textrill::testing {

// A cpp-httplib server (plain or TLS) listening on 127.0.0.1.
template <typename ServerType = httplib::Server>
class LocalServer {
 public:
  template <typename... Args>
  explicit LocalServer(Args&&... args) : server(std::forward<Args>(args)...) {}
  ~LocalServer() { Stop(); }

  // Binds and starts listening; the routes must be set before.
  void Start() {
    port = server.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server.listen_after_bind(); });
    for (int i = 0; i < 5000 && !server.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void Stop() {
    server.stop();
    if (thread_.joinable()) thread_.join();
  }

  ServerType server;
  int port = 0;

 private:
  std::thread thread_;
};

inline void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads one request: the header block and a body of its Content-Length. Gives
// up after `timeout_ms` without bytes.
inline std::string ReadRequest(int fd, int timeout_ms = 5000) {
  std::string data;
  std::size_t wanted = std::string::npos;
  char chunk[65536];
  for (;;) {
    if (wanted == std::string::npos) {
      std::size_t end = data.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::size_t body = 0;
        std::string head = data.substr(0, end);
        for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::size_t at = head.find("\r\ncontent-length:");
        if (at != std::string::npos) body = std::stoul(head.substr(at + 17));
        wanted = end + 4 + body;
      }
    }
    if (wanted != std::string::npos && data.size() >= wanted) return data;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) return data;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return data;
    data.append(chunk, static_cast<std::size_t>(n));
  }
}

// A TCP server on 127.0.0.1 that hands each accepted connection to `handler`
// on a thread of its own; the connection is closed when the handler returns.
// On destruction the listening socket and every open connection are shut
// down, so handlers blocked in recv return, and all threads are joined.
class RawServer {
 public:
  using Handler = std::function<void(int fd)>;

  explicit RawServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_fd_, 16);
    socklen_t length = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    accept_thread_ = std::thread([this] { AcceptLoop(); });
  }

  ~RawServer() {
    stop_ = true;
    accept_thread_.join();
    {
      std::lock_guard lock(mutex_);
      for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : handlers_) t.join();
    ::close(listen_fd_);
  }

  int port() const { return port_; }
  int accepted() const { return accepted_; }

 private:
  void AcceptLoop() {
    while (!stop_) {
      pollfd pfd{listen_fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 20) <= 0) continue;
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      ++accepted_;
      std::lock_guard lock(mutex_);
      if (stop_) {
        ::close(fd);
        break;
      }
      open_fds_.push_back(fd);
      handlers_.emplace_back([this, fd] {
        handler_(fd);
        std::lock_guard inner(mutex_);
        std::erase(open_fds_, fd);
        ::close(fd);
      });
    }
  }

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<int> open_fds_;
  std::vector<std::thread> handlers_;
  std::thread accept_thread_;
};

// A port on 127.0.0.1 that nothing listens on (bound, then released).
inline int UnusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t length = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Makes a temporary folder holding a self-signed certificate for 127.0.0.1
// (cert.pem) and its key (key.pem), with the openssl tool. Returns the
// folder, or "" when it could not be made; the caller removes it.
inline std::string MakeCertificateFolder() {
  char pattern[] = "/tmp/textrill-tls-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return "";
  const std::string dir = pattern;
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
      " -addext subjectAltName=IP:127.0.0.1 -keyout " +
      dir + "/key.pem -out " + dir + "/cert.pem >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    std::filesystem::remove_all(dir);
    return "";
  }
  return dir;
}

}  // namespace textrill::testing
