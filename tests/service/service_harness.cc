#include "tests/service/service_harness.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>
#include <thread>

#include "encoding/base64.h"
#include "encoding/url_encoding.h"

extern char** environ;

namespace textrill::service_test {
namespace {

std::vector<char*> ArgumentVector(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Waits for `pid` up to `timeout`; true (and `status` set) when it ended.
bool WaitFor(pid_t pid, std::chrono::milliseconds timeout, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0) return false;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::u32string CodePoints(const std::string& text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    std::size_t j = i + 1;
    for (; j < text.size() && j <= i + static_cast<std::size_t>(extra); ++j) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[j]) & 0x3F);
    }
    i = j;
    out.push_back(cp);
  }
  return out;
}

// Collapses white space: runs become one space, none at the ends of lines.
std::u32string Normalised(const std::string& text) {
  std::u32string in = CodePoints(text);
  std::u32string out;
  bool pending_space = false;
  for (char32_t c : in) {
    if (c == U'\n') {
      pending_space = false;
      while (!out.empty() && out.back() == U' ') out.pop_back();
      out.push_back(c);
    } else if (c == U' ' || c == U'\t' || c == 0x3000) {
      pending_space = !out.empty() && out.back() != U'\n';
    } else {
      if (pending_space) out.push_back(U' ');
      pending_space = false;
      out.push_back(c);
    }
  }
  while (!out.empty() && (out.back() == U'\n' || out.back() == U' ')) out.pop_back();
  return out;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "textrill-service-XXXXXX").string();
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::unique_ptr<ServiceProcess> ServiceProcess::Start(
    const std::vector<std::string>& extra_arguments) {
  std::unique_ptr<ServiceProcess> process(new ServiceProcess);
  process->dir_ = std::make_unique<TempDir>();
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
  std::vector<std::string> arguments = {TEXTRILL_SERVICE_PROGRAM, "--port", "0"};
  arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
  const std::string log = (process->dir_->path() / "service.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv = ArgumentVector(arguments);
  // Under the thread sanitizer the service gets the suppressions for the
  // uninstrumented libraries it uses.
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    if (std::string_view(*variable).rfind("TSAN_OPTIONS=", 0) != 0)
      environment.push_back(*variable);
  }
#if defined(__SANITIZE_THREAD__)
  const char* tsan_options = std::getenv("TSAN_OPTIONS");
  environment.push_back(std::string("TSAN_OPTIONS=") + (tsan_options ? tsan_options : "") +
                        " suppressions=" TEXTRILL_TSAN_SUPPRESSIONS);
#else
  if (const char* tsan_options = std::getenv("TSAN_OPTIONS")) {
    environment.push_back(std::string("TSAN_OPTIONS=") + tsan_options);
  }
#endif
  std::vector<char*> envp = ArgumentVector(environment);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return nullptr;
  }
  process->pid_ = pid;
  // The first line is "listening on http://ADDRESS:PORT/aidemo".
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd waiting{out[0], POLLIN, 0};
    if (poll(&waiting, 1, 200) <= 0) continue;
    char buffer[256];
    ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    line.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);
  const std::size_t colon = line.rfind(':');
  const std::size_t slash = line.find("/aidemo");
  if (line.rfind("listening on http://", 0) != 0 || colon == std::string::npos ||
      slash == std::string::npos || slash < colon) {
    return nullptr;  // the destructor stops the process
  }
  process->port_ = std::atoi(line.substr(colon + 1, slash - colon - 1).c_str());
  if (process->port_ <= 0) return nullptr;
  return process;
}

ServiceProcess::~ServiceProcess() { Stop(); }

int ServiceProcess::Stop() {
  if (pid_ <= 0) return -1;
  int status = 0;
  kill(pid_, SIGTERM);
  if (!WaitFor(pid_, std::chrono::seconds(30), status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    status = -1;
  }
  pid_ = -1;
  return status;
}

long ServiceProcess::ResidentKib() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 20, '\n');
  }
  return -1;
}

std::string ServiceProcess::Log() const {
  std::ifstream log(dir_->path() / "service.log");
  return {std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
}

bool RunProgram(const std::vector<std::string>& arguments) {
  std::vector<char*> argv = ArgumentVector(arguments);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (!WaitFor(pid, std::chrono::seconds(120), status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

namespace {

std::vector<std::string> WithEnvironment(const std::vector<std::string>& added) {
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    const std::string_view entry(*variable);
    const std::string_view name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& a : added) replaced = replaced || a.rfind(name, 0) == 0;
    if (!replaced) environment.emplace_back(entry);
  }
  environment.insert(environment.end(), added.begin(), added.end());
  return environment;
}

}  // namespace

std::optional<std::string> RunCapture(const std::vector<std::string>& arguments,
                                      const std::vector<std::string>& environment,
                                      int timeout_seconds) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<char*> argv = ArgumentVector(arguments);
  const std::vector<std::string> env = WithEnvironment(environment);
  std::vector<char*> envp = ArgumentVector(env);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return std::nullopt;
  }
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool timed_out = false;
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) {
      timed_out = true;
      break;
    }
    pollfd waiting{out[0], POLLIN, 0};
    if (poll(&waiting, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    output.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);
  int status = 0;
  if (timed_out || !WaitFor(pid, std::chrono::seconds(10), status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return std::nullopt;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

std::unique_ptr<BackgroundProgram> BackgroundProgram::Start(
    const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
    int fd3) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
  std::vector<char*> argv = ArgumentVector(arguments);
  const std::vector<std::string> env = WithEnvironment(environment);
  std::vector<char*> envp = ArgumentVector(env);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return nullptr;
  std::unique_ptr<BackgroundProgram> program(new BackgroundProgram);
  program->pid_ = pid;
  return program;
}

bool BackgroundProgram::WaitForExit(int timeout_ms) {
  if (pid_ <= 0) return true;
  int status = 0;
  if (!WaitFor(pid_, std::chrono::milliseconds(timeout_ms), status)) return false;
  pid_ = -1;
  return true;
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!WaitForExit(10000)) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

bool RenderText(const std::string& text, const std::string& font, int pixels,
                const std::filesystem::path& file) {
  std::string target = file.string();
  // 24-bit BMP with the classic header, as most programs write it.
  if (file.extension() == ".bmp") target = "BMP3:" + target;
  return RunProgram({"convert",
                     "-density",
                     "72",
                     "-font",
                     font,
                     "-pointsize",
                     std::to_string(pixels),
                     "-background",
                     "white",
                     "-fill",
                     "black",
                     "-bordercolor",
                     "white",
                     "-border",
                     std::to_string(pixels),
                     "label:" + text,
                     "-type",
                     "TrueColor",
                     "-quality",
                     "92",
                     target});
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ToolRequestBody(const std::vector<std::uint8_t>& picture, const std::string& format) {
  return "type=webimage&image=data%3Aimage%2F" + format + "%3Bbase64%2C" +
         FormUrlEncode(Base64Encode(picture)) + "&image_url=";
}

Answer Post(int port, const std::string& body, const std::string& path,
            const std::string& content_type) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(10);
  client.set_read_timeout(300);
  client.set_write_timeout(60);
  auto result = client.Post(path, body, content_type);
  if (!result) return {};
  return {result->status, result->body};
}

Reading ReadReply(const std::string& reply) {
  Reading reading;
  nlohmann::json json = nlohmann::json::parse(reply, nullptr, false);
  if (json.is_discarded() || !json.is_object() || !json.contains("errno") ||
      !json["errno"].is_number_integer() || !json.contains("msg") || !json["msg"].is_string()) {
    return reading;
  }
  reading.error = json["errno"].get<int>();
  reading.message = json["msg"].get<std::string>();
  if (json.contains("data") && json["data"].contains("words_result")) {
    for (const auto& item : json["data"]["words_result"]) {
      reading.lines.push_back(item.value("words", ""));
    }
  }
  return reading;
}

double CharacterErrorRate(const std::string& expected, const std::string& recognised) {
  const std::u32string a = Normalised(expected);
  const std::u32string b = Normalised(recognised);
  if (a.empty()) return b.empty() ? 0 : 1;
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return double(row[b.size()]) / double(a.size());
}

double BestMatchErrorRate(const std::string& expected, const std::string& haystack) {
  const std::u32string a = Normalised(expected);
  const std::u32string b = Normalised(haystack);
  if (a.empty()) return 0;
  // Edit distance where the match may start and end anywhere in `b`.
  std::vector<std::size_t> row(b.size() + 1, 0);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return double(*std::min_element(row.begin(), row.end())) / double(a.size());
}

}  // namespace textrill::service_test
