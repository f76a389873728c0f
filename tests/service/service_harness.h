// Test helpers for the recognition service: the service program started on a
// free loopback port, pictures rendered with ImageMagick, request bodies made
// exactly as textrill makes them, and replies read back.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace textrill::service_test {

// A scratch folder, removed with its contents when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The textrill-service program, running. Start launches it with --port 0 and
// waits (bounded) for the port it prints; the destructor stops it with SIGTERM
// and, should it not end within 30 s, SIGKILL.
class ServiceProcess {
 public:
  // nullptr when the program does not start or report a port within 120 s.
  static std::unique_ptr<ServiceProcess> Start(
      const std::vector<std::string>& extra_arguments = {});
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // The resident memory of the process in KiB, -1 when unknown.
  long ResidentKib() const;
  // Stops the process; returns its exit status (as waitpid), -1 when killed.
  int Stop();
  // What the service wrote to standard error so far.
  std::string Log() const;

 private:
  ServiceProcess() = default;
  pid_t pid_ = -1;
  int port_ = 0;
  std::unique_ptr<TempDir> dir_;
};

// Runs a program (no shell) and waits for it; true when it exits with 0.
bool RunProgram(const std::vector<std::string>& arguments);

// Runs a program (no shell) with `environment` added to ours, for at most
// `timeout_seconds`; returns its standard output, or nullopt when it fails or
// runs too long (it is killed then).
std::optional<std::string> RunCapture(const std::vector<std::string>& arguments,
                                      const std::vector<std::string>& environment = {},
                                      int timeout_seconds = 60);

// A program started in the background with `environment` added to ours;
// stopped (SIGTERM, then SIGKILL after 10 s) when destroyed.
class BackgroundProgram {
 public:
  // nullptr when it cannot be started. `fd3`, when >= 0, becomes its file
  // descriptor 3.
  static std::unique_ptr<BackgroundProgram> Start(const std::vector<std::string>& arguments,
                                                  const std::vector<std::string>& environment = {},
                                                  int fd3 = -1);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;
  pid_t pid() const { return pid_; }
  // True when it has ended (within `timeout_ms`).
  bool WaitForExit(int timeout_ms);

 private:
  BackgroundProgram() = default;
  pid_t pid_ = -1;
};

// Renders `text` (lines separated by '\n') in black on white with
// ImageMagick's `convert`, in `font` at `pixels` pixels per em, into `file`
// (its extension names the format: png, bmp or jpg). True on success.
bool RenderText(const std::string& text, const std::string& font, int pixels,
                const std::filesystem::path& file);

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);

// The request body textrill sends for `picture` of `format` (png, bmp, jpeg).
std::string ToolRequestBody(const std::vector<std::uint8_t>& picture, const std::string& format);

struct Answer {
  int status = 0;  // 0: no answer at all
  std::string body;
};
// POSTs `body` to /aidemo (or `path`) on the loopback port.
Answer Post(int port, const std::string& body, const std::string& path = "/aidemo",
            const std::string& content_type = "application/x-www-form-urlencoded");

// The reply read as a JSON document: its errno (-1 when the reply is not
// the JSON expected) and the texts of its lines.
struct Reading {
  int error = -1;
  std::string message;
  std::vector<std::string> lines;
};
Reading ReadReply(const std::string& reply);

// Character error rate of `recognised` against `expected`: the edit distance
// between the two texts in Unicode code points, divided by the expected
// length. Runs of white space count as one space; spaces at the ends of
// lines do not count.
double CharacterErrorRate(const std::string& expected, const std::string& recognised);

// The same rate for the best matching piece of `haystack`: how well `expected`
// is found somewhere inside it (0 when it occurs as it is).
double BestMatchErrorRate(const std::string& expected, const std::string& haystack);

}  // namespace textrill::service_test
