// The client's own cost of one recognition, beside a short Python script doing
// the same work in the same run (bench/app/recognition_peer.py), printed as
// ratios (Python time / our time: above 1 means we are faster):
//  1. sending: from AcceptImage of the largest accepted picture until the
//     request body has arrived at a local server (base64, form encoding, body,
//     HTTP POST);
//  2. reading: from the reply's last byte (the UTF-8 body in memory) to the
//     filled list and copied text, for a reply of 100,000 lines (about 20 MB);
//     also without the UTF-8 conversion (the job's own part);
//  3. the longest stall of the main window's event loop while GO reads the
//     largest picture and a job fills 100,000 rows of its list through the
//     window's cross-thread control operations.
// Every figure is the median of a few runs.
#include <curl/curl.h>
#include <httplib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/controls.h"
#include "app/globals.h"
#include "app/intake.h"
#include "app/main_window.h"
#include "app/recognition_job.h"
#include "encoding/code_page.h"
#include "http/http_session.h"

namespace {

using namespace textrill;
using Clock = std::chrono::steady_clock;

constexpr int kRepeats = 5;
constexpr int kLines = 100000;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// A window stand-in that keeps the list in memory and ignores the rest.
class ListControls : public Controls {
 public:
  void SetStatus(const std::string&) override {}
  std::string PathText() override { return path_; }
  void SetPathText(const std::string& text) override { path_ = text; }
  void ShowPreview(const std::vector<std::uint8_t>&) override {}
  bool OpenFileDialog() override { return false; }
  std::string DialogFileName() override { return ""; }
  std::filesystem::path DialogFilePath() override { return {}; }
  void SetGoEnabled(bool) override {}
  void SetBrowseEnabled(bool) override {}
  void ClearRows() override {
    std::lock_guard lock(mutex_);
    rows_.clear();
  }
  int AppendRow() override {
    std::lock_guard lock(mutex_);
    rows_.emplace_back();
    return static_cast<int>(rows_.size()) - 1;
  }
  void SetCell(int row, int column, const std::string& text) override {
    std::lock_guard lock(mutex_);
    rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
  }
  std::string Cell(int, int) override { return ""; }
  int SelectedRow() override { return -1; }
  std::size_t Rows() {
    std::lock_guard lock(mutex_);
    return rows_.size();
  }

 private:
  std::mutex mutex_;
  std::string path_;
  std::vector<std::array<std::string, 3>> rows_;
};

// The receiving end: notes when each POSTed body has arrived and answers
// with the reply set.
class Receiver {
 public:
  Receiver() {
    // Read through a content reader: the library would refuse a form body
    // over 8 KiB otherwise.
    server_.Post(R"(/.*)", [this](const httplib::Request&, httplib::Response& response,
                                  const httplib::ContentReader& reader) {
      std::size_t size = 0;
      reader([&](const char*, std::size_t length) {
        size += length;
        return true;
      });
      const std::int64_t now = NowNs();
      std::lock_guard lock(mutex_);
      arrivals_.push_back(now);
      sizes_.push_back(size);
      arrived_.notify_all();
      response.set_content(reply_, "application/json; charset=utf-8");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int k = 0; k < 1000 && !server_.is_running(); ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Receiver() {
    server_.stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/aidemo"; }
  void SetReply(std::string reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
  }
  // The arrival time of the `index`-th body (0-based), waiting up to 60 s.
  std::int64_t Arrival(std::size_t index) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(60), [&] { return arrivals_.size() > index; });
    return arrivals_.size() > index ? arrivals_[index] : 0;
  }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return arrivals_.size();
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::int64_t> arrivals_;
  std::vector<std::size_t> sizes_;
  std::string reply_ = "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":0}}";
};

// The service's reply for `lines` lines, in UTF-8.
std::string MakeReply(int lines) {
  std::string reply =
      "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":" + std::to_string(lines) +
      ",\"words_result\":[";
  for (int k = 0; k < lines; ++k) {
    if (k > 0) reply += ",";
    reply += "{\"words\":\"中文识别 line " + std::to_string(k) +
             " of the reply with a\\/slash and some more words to read\","
             "\"probability\":{\"average\":0.9" +
             std::to_string(k % 10) +
             ",\"min\":0.81,\"variance\":0.0012},"
             "\"location\":{\"left\":12,\"top\":" +
             std::to_string(k) + ",\"width\":300,\"height\":20}}";
  }
  return reply + "]}}";
}

std::vector<std::string> RunPeer(const std::vector<std::string>& arguments) {
  std::string command = "python3 '" TEXTRILL_BENCH_DIR "/recognition_peer.py'";
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  std::vector<std::string> lines;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return lines;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) lines.emplace_back(buffer);
  pclose(pipe);
  return lines;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  Session = std::make_unique<HttpSession>();
  Receiver receiver;
  RecognitionUrl = receiver.Url();

  std::string scratch_pattern =
      (std::filesystem::temp_directory_path() / "textrill-bench-XXXXXX").string();
  if (mkdtemp(scratch_pattern.data()) == nullptr) return 1;
  const std::filesystem::path scratch = scratch_pattern;

  // The largest accepted picture: PNG signature, then random bytes.
  std::string picture(kPictureSizeLimit - 1, '\0');
  std::mt19937_64 random(7);
  for (char& c : picture) c = static_cast<char>(random());
  picture[0] = '\x89';
  picture[1] = 'P';
  const std::filesystem::path picture_path = scratch / "largest.png";
  WriteFile(picture_path, picture);

  // 1. Sending.
  std::vector<double> ours_send;
  {
    ListControls controls;
    for (int r = 0; r < kRepeats; ++r) {
      ImageBytes.assign(picture.begin(), picture.end());
      const std::size_t index = receiver.Count();
      const std::int64_t start = NowNs();
      AcceptImage(controls);
      const std::int64_t arrival = receiver.Arrival(index);
      WaitForRecognition();
      ours_send.push_back(static_cast<double>(arrival - start) / 1e6);
    }
  }
  std::vector<double> peer_send;
  {
    const std::size_t first = receiver.Count();
    const std::vector<std::string> starts =
        RunPeer({"send", picture_path.string(), receiver.Url(), std::to_string(kRepeats)});
    for (std::size_t r = 0; r < starts.size(); ++r) {
      peer_send.push_back(static_cast<double>(receiver.Arrival(first + r) - std::stoll(starts[r])) /
                          1e6);
    }
  }

  // 2. Reading.
  const std::string reply = MakeReply(kLines);
  const std::vector<std::uint8_t> reply_bytes(reply.begin(), reply.end());
  const std::filesystem::path reply_path = scratch / "reply.json";
  WriteFile(reply_path, reply);
  std::vector<double> ours_read;
  std::vector<double> ours_read_app;
  std::size_t rows = 0;
  for (int r = 0; r < kRepeats; ++r) {
    ListControls controls;
    AllResultsText.Set("");
    auto start = Clock::now();
    ShowRecognitionReply(controls, Utf8ToAnsi(reply_bytes), MonotonicMilliseconds());
    ours_read.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    rows = controls.Rows();

    const std::string converted = Utf8ToAnsi(reply_bytes);
    ListControls again;
    AllResultsText.Set("");
    start = Clock::now();
    ShowRecognitionReply(again, converted, MonotonicMilliseconds());
    ours_read_app.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::vector<double> peer_read;
  for (const std::string& line : RunPeer({"read", reply_path.string(), std::to_string(kRepeats)})) {
    peer_read.push_back(std::stod(line));
  }

  // 3. The window thread's longest stall during GO and a job, for a usual
  // reply and a long one. (The long one is 10,000 lines: the window lists
  // about 600 rows a second, so 100,000 rows would take minutes.)
  struct Stall {
    int lines;
    double longest_ms = 0;
    double job_ms = 0;
    int listed = 0;
  };
  std::vector<Stall> stalls = {{50}, {10000}};
  for (Stall& stall : stalls) {
    receiver.SetReply(MakeReply(stall.lines));
    MainWindow window;
    window.SetGoHandler(OnGo);
    window.SetClosingHook(StopRecognition);
    window.show();
    window.PathBox()->setPlainText(QString::fromStdString(picture_path.string()));
    QElapsedTimer since_tick;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      stall.longest_ms = std::max(stall.longest_ms, since_tick.nsecsElapsed() / 1e6);
      since_tick.restart();
    });
    QElapsedTimer job_timer;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      if (!RecognitionRunning()) {
        WaitForRecognition();
        stall.job_ms = job_timer.nsecsElapsed() / 1e6;
        application.quit();
      }
    });
    QTimer::singleShot(50, [&] {
      job_timer.start();
      window.GoButton()->click();  // OnGo on the window's thread
      watcher.start();
    });
    since_tick.start();
    ticker.start();
    application.exec();
    stall.listed = window.ResultList()->rowCount();
  }

  std::printf("sending the largest picture (%zu bytes), AcceptImage to body received:\n",
              picture.size());
  std::printf("  ours %.1f ms, python %.1f ms, ratio python/ours %.2f\n", Median(ours_send),
              Median(peer_send), Median(peer_send) / Median(ours_send));
  std::printf("reading a reply of %d lines (%zu bytes) into the list (%zu rows):\n", kLines,
              reply.size(), rows);
  std::printf("  ours %.1f ms (without the UTF-8 conversion %.1f ms), python %.1f ms\n",
              Median(ours_read), Median(ours_read_app), Median(peer_read));
  std::printf("  ratio python/ours %.2f (without the UTF-8 conversion %.2f)\n",
              Median(peer_read) / Median(ours_read), Median(peer_read) / Median(ours_read_app));
  for (const Stall& stall : stalls) {
    std::printf("window thread during GO and a job listing %d rows (job %.0f ms):\n", stall.listed,
                stall.job_ms);
    std::printf("  longest event loop stall %.1f ms (target: at most 50 ms)\n", stall.longest_ms);
  }

  Session.reset();
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  curl_global_cleanup();
  return 0;
}
