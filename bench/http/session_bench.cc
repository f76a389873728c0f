// ResponseBody of a large body from a loopback server, beside
// `curl -s -o /dev/null` of the same URL in the same run:
//   - Content-Length body: our throughput as a ratio of curl's;
//   - the same body chunked (no Content-Length): its time as a ratio of the
//     Content-Length case;
//   - the peak resident memory of each client process, against 2 x body + 16 MiB;
//   - a floor: a process that only writes the body into fresh memory and
//     copies it into more fresh memory, the memory work that any ResponseBody
//     of this size must do (curl writing to /dev/null does none of it). On
//     machines where page faults are dear this floor alone exceeds curl's time.
// The server runs in a child process of its own and each client (ours or curl)
// in a fresh process, so that each peak is that client's alone. Times are wall
// clock from starting the client process to its exit, best of the rounds.
//
// Options: --mib=N (body size, default 256), --rounds=N (default 3). Other
// arguments are ignored.
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
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_session.h"

extern char** environ;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The body is a 1 MiB pattern repeated, so the server holds no copy of it.
void ServeBody(int fd, std::size_t body_size, bool chunked, const std::vector<char>& pattern) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
  head += chunked ? "Transfer-Encoding: chunked\r\n\r\n"
                  : "Content-Length: " + std::to_string(body_size) + "\r\n\r\n";
  if (!SendAll(fd, head.data(), head.size())) return;
  constexpr std::size_t kChunk = 64 * 1024;
  for (std::size_t sent = 0; sent < body_size;) {
    const std::size_t n = std::min(chunked ? kChunk : pattern.size(), body_size - sent);
    if (chunked) {
      char frame[32];
      const int length = std::snprintf(frame, sizeof frame, "%zx\r\n", n);
      if (!SendAll(fd, frame, static_cast<std::size_t>(length))) return;
    }
    if (!SendAll(fd, pattern.data() + (sent % pattern.size()), n)) return;
    if (chunked && !SendAll(fd, "\r\n", 2)) return;
    sent += n;
  }
  if (chunked) SendAll(fd, "0\r\n\r\n", 5);
}

// One connection: requests until the client closes it.
void ServeConnection(int fd, std::size_t body_size, const std::vector<char>& pattern) {
  std::string data;
  char buffer[8192];
  for (;;) {
    const std::size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      data.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    const bool chunked = data.find(" /chunked ") != std::string::npos;
    data.erase(0, end + 4);
    ServeBody(fd, body_size, chunked, pattern);
  }
}

// Starts the server process; returns its pid and sets `port`.
pid_t StartServer(std::size_t body_size, int& port) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 8) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  socklen_t length = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
  port = ntohs(addr.sin_port);
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char> pattern(kMiB);
    for (std::size_t k = 0; k < pattern.size(); ++k) pattern[k] = static_cast<char>(k * 31 + 7);
    for (;;) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) continue;
      ServeConnection(fd, body_size, pattern);
      ::close(fd);
    }
  }
  ::close(listener);
  return pid;
}

struct Run {
  double seconds = 0;
  long peak_kib = 0;
  bool ok = false;
};

Run Finish(pid_t pid, std::chrono::steady_clock::time_point start) {
  Run run;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peak_kib = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

Run RunCurl(const std::string& url) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> args = {"curl", "-s", "-o", "/dev/null", url};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return {};
  return Finish(pid, start);
}

// Our client in a fresh process: Open, SendText, ResponseBody (its final copy
// included); exits 0 when the body has the expected size.
Run RunSession(const std::string& url, std::size_t body_size) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    bool ok = false;
    {
      textrill::HttpSession session;
      if (session.Open("GET", url) && session.SendText()) {
        const std::vector<std::uint8_t> body = session.ResponseBody();
        ok = body.size() == body_size;
      }
    }
    std::_Exit(ok ? 0 : 1);
  }
  return Finish(pid, start);
}

// The memory floor in a fresh process: the body written in 64 KiB pieces into
// a new block, then copied into a new array, as ResponseBody does.
Run RunFloor(std::size_t body_size) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    auto* block = static_cast<char*>(std::malloc(body_size));
    if (block == nullptr) std::_Exit(1);
    for (std::size_t at = 0; at < body_size; at += 65536) {
      std::memset(block + at, static_cast<int>(at >> 16),
                  std::min<std::size_t>(65536, body_size - at));
    }
    std::vector<std::uint8_t> copy(block, block + body_size);
    const bool ok = copy[body_size - 1] == static_cast<std::uint8_t>(block[body_size - 1]);
    std::free(block);
    std::_Exit(ok ? 0 : 1);
  }
  return Finish(pid, start);
}

Run Best(const std::vector<Run>& runs) {
  Run best;
  for (const Run& run : runs) {
    if (!run.ok) return run;
    if (best.seconds == 0 || run.seconds < best.seconds) best.seconds = run.seconds;
    best.peak_kib = std::max(best.peak_kib, run.peak_kib);
    best.ok = true;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 256;
  int rounds = 3;
  for (int k = 1; k < argc; ++k) {
    if (std::strncmp(argv[k], "--mib=", 6) == 0) mib = std::strtoul(argv[k] + 6, nullptr, 10);
    if (std::strncmp(argv[k], "--rounds=", 9) == 0) rounds = std::atoi(argv[k] + 9);
  }
  mib = std::max<std::size_t>(mib, 1);
  rounds = std::max(rounds, 1);
  const std::size_t body_size = mib * kMiB;

  int port = 0;
  const pid_t server = StartServer(body_size, port);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  std::vector<Run> curl_runs, length_runs, chunked_runs, floor_runs;
  for (int round = 0; round < rounds; ++round) {
    curl_runs.push_back(RunCurl(base + "/length"));
    floor_runs.push_back(RunFloor(body_size));
    length_runs.push_back(RunSession(base + "/length", body_size));
    chunked_runs.push_back(RunSession(base + "/chunked", body_size));
  }
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);

  const Run curl = Best(curl_runs), length = Best(length_runs), chunked = Best(chunked_runs);
  const Run floor = Best(floor_runs);
  if (!curl.ok || !length.ok || !chunked.ok || !floor.ok) {
    std::printf("a run failed: curl %d, Content-Length %d, chunked %d, floor %d\n", curl.ok,
                length.ok, chunked.ok, floor.ok);
    return 1;
  }
  const double body_mib = static_cast<double>(body_size) / kMiB;
  const double limit_mib = 2 * body_mib + 16;
  std::printf("body %.0f MiB, best of %d rounds (wall time of each client process)\n", body_mib,
              rounds);
  std::printf("  curl -s -o /dev/null     %7.3f s  %8.1f MiB/s  peak %7.1f MiB\n", curl.seconds,
              body_mib / curl.seconds, curl.peak_kib / 1024.0);
  std::printf("  ResponseBody, length     %7.3f s  %8.1f MiB/s  peak %7.1f MiB\n", length.seconds,
              body_mib / length.seconds, length.peak_kib / 1024.0);
  std::printf("  ResponseBody, chunked    %7.3f s  %8.1f MiB/s  peak %7.1f MiB\n", chunked.seconds,
              body_mib / chunked.seconds, chunked.peak_kib / 1024.0);
  std::printf("  memory floor (fill + copy) %5.3f s  %8.1f MiB/s  peak %7.1f MiB\n", floor.seconds,
              body_mib / floor.seconds, floor.peak_kib / 1024.0);
  std::printf("ratio throughput ResponseBody/curl (Content-Length): %.2fx (target >= 0.70)\n",
              curl.seconds / length.seconds);
  std::printf("ratio throughput ResponseBody/(curl + memory floor) (Content-Length): %.2fx\n",
              (curl.seconds + floor.seconds) / length.seconds);
  std::printf("ratio time chunked/Content-Length: %.2fx (target <= 1.50)\n",
              chunked.seconds / length.seconds);
  std::printf(
      "ratio peak memory / (2 x body + 16 MiB): Content-Length %.2f, chunked %.2f "
      "(target <= 1.00)\n",
      length.peak_kib / 1024.0 / limit_mib, chunked.peak_kib / 1024.0 / limit_mib);
  return 0;
}
