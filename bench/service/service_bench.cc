// The recognition service against the tesseract command line, in one run.
//
// For each rendered picture: the median time of one recognition through the
// warm service (a POST as textrill sends it) beside the median time of
// `tesseract FILE -` (the command line with its defaults, English) and of
// `tesseract FILE - -l chi_sim+eng` (the service's languages), with the
// character error rate of each. Then the throughput of two clients at once
// beside one client.
//
//   bench_service [--runs=N] [--soak=N]
//
// --soak=N adds a run of N requests (for example 20000) from two clients and
// prints the service's resident memory before and after.
#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/service_harness.h"

extern char** environ;

namespace {

using namespace textrill::service_test;
using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Runs `arguments` with standard output into `output` and standard error
// discarded; returns the wall time in ms, or -1 when it fails.
double TimeProgram(const std::vector<std::string>& arguments, const std::string& output) {
  std::vector<char*> argv;
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms = Milliseconds(Clock::now() - start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

std::string ReadText(const std::string& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The command line writes a blank line between blocks and a form feed at the end.
std::string CommandLineLines(std::string text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    line.erase(std::remove(line.begin(), line.end(), '\f'), line.end());
    if (line.find_first_not_of(' ') != std::string::npos) out += (out.empty() ? "" : "\n") + line;
    start = end + 1;
  }
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

struct Picture {
  const char* name;
  std::string text;
  const char* font;
  int pixels;
};

int ArgumentValue(int argc, char** argv, const char* name, int fallback) {
  const std::size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
      return std::atoi(argv[i] + length + 1);
    }
  }
  return fallback;
}

// Sends `count` requests of `body` from `clients` clients at once; returns
// requests per second, and counts the right answers into `good`.
double Throughput(int port, const std::string& body, int count, int clients,
                  const std::string& expected, std::atomic<int>& good) {
  std::atomic<int> next{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      httplib::Client client("127.0.0.1", port);
      client.set_keep_alive(true);
      client.set_read_timeout(300);
      for (int i = next++; i < count; i = next++) {
        auto result = client.Post("/aidemo", body, "application/x-www-form-urlencoded");
        if (result && result->status == 200 && Joined(ReadReply(result->body).lines) == expected) {
          ++good;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  return count / (Milliseconds(Clock::now() - start) / 1000);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = std::max(1, ArgumentValue(argc, argv, "--runs", 7));
  const int soak = ArgumentValue(argc, argv, "--soak", 0);

  TempDir dir;
  const std::vector<Picture> pictures = {
      {"en-screen-16px",
       "Settings  Network  Display  Sound\nThe connection was reset while the file was copied.\n"
       "Try again later or check the address: 127.0.0.1:8089\nSaved 14 files in 2.3 seconds.",
       "DejaVu-Sans", 16},
      {"en-paragraph-24px",
       "The quick brown fox jumps over the lazy dog.\nPack my box with five dozen liquor jugs.\n"
       "How vexingly quick daft zebras jump!\nSphinx of black quartz, judge my vow.",
       "DejaVu-Sans", 24},
      {"zh-paragraph-24px",
       "\xe4\xbb\x8a\xe5\xa4\xa9\xe5\xa4\xa9\xe6\xb0\x94\xe5\xbe\x88\xe5\xa5\xbd\xef\xbc\x8c"
       "\xe6\x88\x91\xe4\xbb\xac\xe4\xb8\x80\xe8\xb5\xb7\xe5\x8e\xbb\xe5\x85\xac\xe5\x9b\xad"
       "\xe6\x95\xa3\xe6\xad\xa5\xe3\x80\x82\n"
       "\xe6\x96\x87\xe5\xad\x97\xe8\xaf\x86\xe5\x88\xab\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x9c\xa8"
       "\xe6\x9c\xac\xe6\x9c\xba\xe8\xbf\x90\xe8\xa1\x8c\xef\xbc\x8c\xe4\xb8\x8d\xe9\x9c\x80"
       "\xe8\xa6\x81\xe7\xbd\x91\xe7\xbb\x9c\xe3\x80\x82\n"
       "\xe8\xaf\xb7\xe9\x80\x89\xe6\x8b\xa9\xe4\xb8\x80\xe5\xbc\xa0\xe5\x9b\xbe\xe7\x89\x87"
       "\xe5\x90\x8e\xe7\x82\xb9\xe5\x87\xbb\xe8\xaf\x86\xe5\x88\xab\xe3\x80\x82",
       "Noto-Sans-CJK-SC", 24},
      {"zh-small-16px",
       "\xe6\x96\x87\xe4\xbb\xb6\xe5\xb7\xb2\xe4\xbf\x9d\xe5\xad\x98\xef\xbc\x8c"
       "\xe5\x85\xb1\xe5\x8d\x81\xe5\x9b\x9b\xe4\xb8\xaa\xe3\x80\x82\n"
       "\xe7\xbd\x91\xe7\xbb\x9c\xe8\xbf\x9e\xe6\x8e\xa5\xe5\xb7\xb2\xe6\x96\xad\xe5\xbc\x80"
       "\xef\xbc\x8c\xe8\xaf\xb7\xe7\xa8\x8d\xe5\x90\x8e\xe5\x86\x8d\xe8\xaf\x95\xe3\x80\x82",
       "Noto-Sans-CJK-SC", 16},
  };

  auto service = ServiceProcess::Start();
  if (!service) {
    std::fprintf(stderr, "bench_service: the service did not start\n");
    return 1;
  }
  std::printf(
      "service ms = median of %d warm requests; cli ms = median of %d runs of the command\n", runs,
      std::max(1, runs / 2));
  std::printf("%-18s %9s %9s %9s %7s %7s | %6s %6s %6s\n", "picture", "service", "cli", "cli-zh+en",
              "ratio", "ratio2", "cer", "cli", "cli2");
  std::vector<double> ratios;
  for (const Picture& p : pictures) {
    const auto file = dir.path() / (std::string(p.name) + ".png");
    if (!RenderText(p.text, p.font, p.pixels, file)) {
      std::fprintf(stderr, "bench_service: cannot render %s\n", p.name);
      return 1;
    }
    const std::string body = ToolRequestBody(ReadBytes(file), "png");
    std::string recognised;
    for (int warm = 0; warm < 2; ++warm)
      recognised = Joined(ReadReply(Post(service->port(), body).body).lines);
    std::vector<double> service_ms;
    for (int i = 0; i < runs; ++i) {
      const auto start = Clock::now();
      Post(service->port(), body);
      service_ms.push_back(Milliseconds(Clock::now() - start));
    }
    const std::string out = (dir.path() / "cli.txt").string();
    const std::string out2 = (dir.path() / "cli2.txt").string();
    std::vector<double> cli_ms, cli2_ms;
    for (int i = 0; i < std::max(1, runs / 2); ++i) {
      cli_ms.push_back(TimeProgram({"tesseract", file.string(), "-"}, out));
      cli2_ms.push_back(TimeProgram({"tesseract", file.string(), "-", "-l", "chi_sim+eng"}, out2));
    }
    const double s = Median(service_ms), c = Median(cli_ms), c2 = Median(cli2_ms);
    ratios.push_back(s / c);
    std::printf("%-18s %9.1f %9.1f %9.1f %7.2f %7.2f | %5.1f%% %5.1f%% %5.1f%%\n", p.name, s, c, c2,
                s / c, s / c2, 100 * CharacterErrorRate(p.text, recognised),
                100 * CharacterErrorRate(p.text, CommandLineLines(ReadText(out))),
                100 * CharacterErrorRate(p.text, CommandLineLines(ReadText(out2))));
  }
  std::printf(
      "ratio = service / `tesseract FILE -`; ratio2 = service / `tesseract FILE - -l "
      "chi_sim+eng`\n");
  std::printf("latency ratio, median over pictures: %.2f\n", Median(ratios));

  // Throughput: the same picture from one client, then from two at once.
  const Picture& p = pictures[1];
  const std::string body =
      ToolRequestBody(ReadBytes(dir.path() / (std::string(p.name) + ".png")), "png");
  const std::string expected = Joined(ReadReply(Post(service->port(), body).body).lines);
  const int count = std::max(10, runs * 4);
  std::atomic<int> good{0};
  const double one = Throughput(service->port(), body, count, 1, expected, good);
  const double two = Throughput(service->port(), body, count, 2, expected, good);
  std::printf(
      "throughput %s: 1 client %.1f req/s, 2 clients %.1f req/s, ratio %.2f (%d/%d answered "
      "right)\n",
      p.name, one, two, two / one, good.load(), 2 * count);

  if (soak > 0) {
    const auto soak_file = dir.path() / "soak.png";
    RenderText("Soak 42", "DejaVu-Sans", 24, soak_file);
    const std::string soak_body = ToolRequestBody(ReadBytes(soak_file), "png");
    std::atomic<int> soak_good{0};
    Throughput(service->port(), soak_body, 200, 2, "Soak 42", soak_good);
    const long before = service->ResidentKib();
    soak_good = 0;
    const double rate = Throughput(service->port(), soak_body, soak, 2, "Soak 42", soak_good);
    const long after = service->ResidentKib();
    std::printf(
        "soak: %d requests from 2 clients, %d answered right, %.1f req/s; resident %ld KiB "
        "after warm-up, %ld KiB after (ratio %.3f)\n",
        soak, soak_good.load(), rate, before, after, double(after) / double(before));
  }
  return 0;
}
