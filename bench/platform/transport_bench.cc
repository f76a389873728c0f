// Download speed and memory of the transport beside curl(1) in the same run: a
// 256 MiB body from a local server (a child process, so that its buffers are
// not counted), read through QueryDataAvailable / ReadData into one reused
// 1 MiB buffer, and fetched by `curl -s -o /dev/null` from the same URL.
// Prints the throughput of each, their ratio (target: at least 0.8), and the
// peak resident memory the transport added while reading (target: at most
// 8 MiB) beside curl's whole peak.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/http_transport.h"

extern char** environ;

namespace {

namespace wh = textrill::winhttp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBodySize = 256u << 20;
constexpr int kRounds = 5;

// Serves kBodySize bytes to every request, one connection at a time, until
// killed. Runs in the child process.
[[noreturn]] void Serve(int listen_fd) {
  std::vector<char> block(1 << 20, 'x');
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: " +
      std::to_string(kBodySize) + "\r\n\r\n";
  for (;;) {
    int fd = ::accept(listen_fd, nullptr, nullptr);
    if (fd < 0) continue;
    char request[8192];
    std::string got;
    while (got.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(fd, request, sizeof request, 0);
      if (n <= 0) break;
      got.append(request, static_cast<std::size_t>(n));
    }
    bool ok = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) > 0;
    for (std::size_t sent = 0; ok && sent < kBodySize;) {
      std::size_t n = std::min(block.size(), kBodySize - sent);
      ssize_t w = ::send(fd, block.data(), n, MSG_NOSIGNAL);
      if (w <= 0) break;
      sent += static_cast<std::size_t>(w);
    }
    ::close(fd);
  }
}

long StatusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, length, key) == 0 && line[length] == ':') {
      return std::stol(line.substr(length + 1));
    }
  }
  return 0;
}

// Resets the peak resident size (VmHWM) to the current one.
void ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// One download through the transport; seconds, or a negative value on failure.
double TransportDownload(int port, long* added_kib) {
  textrill::HttpTransport& t = textrill::DefaultHttpTransport();
  textrill::HttpHandle session = t.Open(u"bench", wh::kAccessTypeNoProxy, nullptr, nullptr, 0);
  textrill::HttpHandle connection =
      t.Connect(session, u"127.0.0.1", static_cast<std::uint16_t>(port), 0);
  textrill::HttpHandle request =
      t.OpenRequest(connection, u"GET", u"/big", nullptr, nullptr, nullptr, 0);
  std::vector<char> buffer(1 << 20);
  std::fill(buffer.begin(), buffer.end(), 0);  // resident before the baseline
  ResetPeak();
  const long baseline = StatusKiB("VmRSS");
  const auto start = Clock::now();
  std::size_t total = 0;
  bool ok = t.SendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
            t.ReceiveResponse(request, nullptr) == 1;
  while (ok) {
    std::uint32_t available = 0;
    if (t.QueryDataAvailable(request, &available) != 1) ok = false;
    if (!ok || available == 0) break;
    std::uint32_t read = 0;
    ok = t.ReadData(request, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &read);
    total += read;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  *added_kib = StatusKiB("VmHWM") - baseline;
  t.CloseHandle(request);
  t.CloseHandle(connection);
  t.CloseHandle(session);
  return ok && total == kBodySize ? seconds : -1;
}

// One download by curl(1): the transfer time curl reports itself (process
// start-up not counted) and its peak resident size; negative on failure.
double CurlDownload(const std::string& url, long* peak_kib) {
  int out[2];
  if (::pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const char* argv[] = {"curl",          "-s",        "-o",   "/dev/null", "--fail", "-w",
                        "%{time_total}", url.c_str(), nullptr};
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, "curl", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string reported;
  char chunk[256];
  for (ssize_t n; spawned == 0 && (n = ::read(out[0], chunk, sizeof chunk)) > 0;) {
    reported.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (spawned != 0) return -1;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return -1;
  *peak_kib = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || reported.empty()) return -1;
  return std::stod(reported);
}

}  // namespace

int main() {
  int listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd, 4) != 0 ||
      ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    std::perror("listen");
    return 1;
  }
  const int port = ntohs(addr.sin_port);
  pid_t server = ::fork();
  if (server == 0) Serve(listen_fd);
  ::close(listen_fd);
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;

  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big";
  double best_transport = 1e9, best_curl = 1e9;
  long worst_added = 0, curl_peak = 0;
  bool failed = false;
  for (int round = 0; round < kRounds; ++round) {
    long added = 0, peak = 0;
    double ours = TransportDownload(port, &added);
    double theirs = CurlDownload(url, &peak);
    if (ours < 0 || theirs < 0) {
      failed = true;
      break;
    }
    best_transport = std::min(best_transport, ours);
    best_curl = std::min(best_curl, theirs);
    worst_added = std::max(worst_added, added);
    curl_peak = std::max(curl_peak, peak);
  }
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  curl_global_cleanup();
  if (failed) {
    std::printf("download failed\n");
    return 1;
  }
  const double mib = static_cast<double>(kBodySize) / (1 << 20);
  std::printf("256 MiB download, best of %d rounds, alternating\n", kRounds);
  std::printf("  transport (QueryDataAvailable/ReadData, 1 MiB buffer): %8.1f MiB/s\n",
              mib / best_transport);
  std::printf("  curl -s -o /dev/null (its own time_total):              %8.1f MiB/s\n",
              mib / best_curl);
  std::printf("  throughput ratio transport/curl: %.2fx (target >= 0.80x)\n",
              best_curl / best_transport);
  std::printf(
      "  peak resident memory added by the transport: %.1f MiB (target <= 8 MiB);"
      " curl's whole peak: %.1f MiB\n",
      static_cast<double>(worst_added) / 1024, static_cast<double>(curl_peak) / 1024);
  return 0;
}
