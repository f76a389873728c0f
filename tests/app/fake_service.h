// A recognition service and picture host on 127.0.0.1 for the app tests:
// POST /aidemo answers with a set status and body and records the request
// bodies; GET /<name> serves what was put there. Replies can be held back to
// stand for a slow service. Started on an ephemeral port by the constructor,
// stopped by the destructor.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace textrill::testing {

class FakeService {
 public:
  FakeService() {
    // Read through a content reader: the library would refuse a form body
    // over 8 KiB otherwise.
    server_.Post("/aidemo", [this](const httplib::Request&, httplib::Response& response,
                                   const httplib::ContentReader& reader) {
      std::string body;
      reader([&](const char* data, std::size_t length) {
        body.append(data, length);
        return true;
      });
      std::unique_lock lock(mutex_);
      bodies_.push_back(std::move(body));
      arrived_.notify_all();
      // Held replies wait for Release, at most 30 s.
      released_.wait_for(lock, std::chrono::seconds(30), [this] { return !hold_; });
      response.status = status_;
      response.set_content(reply_, "application/json; charset=utf-8");
    });
    server_.Get(R"(/(.*))", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex_);
      auto found = files_.find(request.path);
      if (found == files_.end()) {
        response.status = 404;
        response.set_content("<html><body>Not Found</body></html>", "text/html");
        return;
      }
      response.status = found->second.status;
      response.set_content(found->second.body, found->second.type);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is ignored until the server runs; wait for that (at most 10 s).
    for (int k = 0; k < 1000 && !server_.is_running(); ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  ~FakeService() {
    Release();
    server_.stop();
    thread_.join();
  }

  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  std::string Url(const std::string& path = "/aidemo") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  void SetReply(int status, std::string body) {
    std::lock_guard lock(mutex_);
    status_ = status;
    reply_ = std::move(body);
  }

  void PutFile(const std::string& path, std::string body, std::string type, int status = 200) {
    std::lock_guard lock(mutex_);
    files_[path] = {status, std::move(body), std::move(type)};
  }

  void Hold() {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }

  void Release() {
    std::lock_guard lock(mutex_);
    hold_ = false;
    released_.notify_all();
  }

  // Waits (at most 10 s) until `count` posts have arrived.
  bool WaitForPosts(std::size_t count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return bodies_.size() >= count; });
  }

  std::vector<std::string> Bodies() {
    std::lock_guard lock(mutex_);
    return bodies_;
  }

 private:
  struct File {
    int status;
    std::string body;
    std::string type;
  };

  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable released_;
  bool hold_ = false;
  int status_ = 200;
  std::string reply_ = "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":0}}";
  std::vector<std::string> bodies_;
  std::map<std::string, File> files_;
};

}  // namespace textrill::testing
