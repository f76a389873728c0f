#include "service/server.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "service/reply.h"
#include "service/request.h"

namespace textrill::service {
namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";
// How much of a body over the size limit is read and discarded.
constexpr std::size_t kDrainLimit = 256u * 1024u * 1024u;

// What the log line of the request being served on this thread reports. The
// server runs a request's routing, handler and logger on one thread.
struct RequestRecord {
  std::chrono::steady_clock::time_point start;
  bool started = false;
  std::size_t body_bytes = 0;
  int error = -1;  // -1: not a recognition request
  std::size_t lines = 0;
};
thread_local RequestRecord current_record;

void LogRequest(const httplib::Request& request, const httplib::Response& response) {
  RequestRecord& record = current_record;
  long long ms = 0;
  if (record.started) {
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               record.start)
             .count();
  }
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  // The path arrives percent-decoded: keep control bytes out of the log, so
  // each request stays one line.
  std::string path = request.path.substr(0, 200);
  for (char& c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  if (record.error >= 0) {
    std::fprintf(stderr, "%s %s %s %d bytes=%zu errno=%d lines=%zu ms=%lld\n", stamp,
                 request.method.c_str(), path.c_str(), response.status, record.body_bytes,
                 record.error, record.lines, ms);
  } else {
    std::fprintf(stderr, "%s %s %s %d ms=%lld\n", stamp, request.method.c_str(), path.c_str(),
                 response.status, ms);
  }
  record = RequestRecord{};
}

bool IsFormType(const std::string& content_type) {
  if (content_type.empty()) return true;
  constexpr std::string_view kForm = "application/x-www-form-urlencoded";
  if (content_type.size() < kForm.size()) return false;
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    char c = content_type[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kForm[i]) return false;
  }
  return content_type.size() == kForm.size() || content_type[kForm.size()] == ';' ||
         content_type[kForm.size()] == ' ';
}

void Reply(httplib::Response& response, const std::string& json) {
  response.status = 200;
  response.set_content(json, kJsonType);
}

// Answers a request whose body was not read to its end: the connection cannot
// carry another request after it.
void ReplyAndClose(httplib::Response& response, ServiceError error) {
  current_record.error = static_cast<int>(error);
  Reply(response, ErrorReply(error));
  response.set_header("Connection", "close");
}

}  // namespace

EnginePool::Lease EnginePool::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  available_.wait(lock, [this] { return !engines_.empty(); });
  std::unique_ptr<Recognizer> engine = std::move(engines_.back());
  engines_.pop_back();
  return Lease(this, std::move(engine));
}

void EnginePool::Release(std::unique_ptr<Recognizer> engine) {
  if (!engine) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    engines_.push_back(std::move(engine));
  }
  available_.notify_one();
}

RecognitionService::RecognitionService(const ServiceOptions& options,
                                       std::vector<std::unique_ptr<Recognizer>> engines)
    : options_(options),
      engine_count_(static_cast<int>(engines.size())),
      pool_(std::move(engines)),
      server_(std::make_unique<httplib::Server>()) {}

RecognitionService::~RecognitionService() = default;

std::unique_ptr<RecognitionService> RecognitionService::Create(const ServiceOptions& options,
                                                               std::string& error) {
  InitializeImageLibrary();
  int count = options.engines;
  if (count <= 0) count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // One after the other: loading sets some of Tesseract's process-wide
  // parameters, which two loads at once would race on.
  std::vector<std::unique_ptr<Recognizer>> engines;
  for (int i = 0; i < count; ++i) engines.push_back(Recognizer::Create(options.languages));
  for (const auto& engine : engines) {
    if (!engine) {
      error = "cannot load the recognition models for languages " + options.languages;
      return nullptr;
    }
  }
  std::unique_ptr<RecognitionService> service(new RecognitionService(options, std::move(engines)));
  service->SetUpRoutes();
  return service;
}

void RecognitionService::SetUpRoutes() {
  httplib::Server& server = *server_;
  // Connections wait in the queue for a free thread, so the port stays open
  // while every engine is busy. More threads than engines let requests be read
  // while others are being recognised.
  const std::size_t threads = std::max<std::size_t>(8, std::size_t(engine_count_) * 2 + 2);
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    current_record = RequestRecord{};
    current_record.start = std::chrono::steady_clock::now();
    current_record.started = true;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_logger(LogRequest);

  server.Post("/aidemo", [this](const httplib::Request& request, httplib::Response& response,
                                const httplib::ContentReader& content_reader) {
    if (request.is_multipart_form_data()) {
      // Read and thrown away part by part: this service takes only plain forms.
      std::size_t received = 0;
      const bool complete = content_reader([](const httplib::MultipartFormData&) { return true; },
                                           [&](const char*, std::size_t length) {
                                             received += length;
                                             return received <= kDrainLimit;
                                           });
      current_record.body_bytes = received;
      if (complete) {
        current_record.error = static_cast<int>(ServiceError::kNotAForm);
        Reply(response, ErrorReply(ServiceError::kNotAForm));
      } else {
        ReplyAndClose(response, ServiceError::kNotAForm);
      }
      return;
    }
    // A body over the limit is read to its end and thrown away, so that the
    // client, still sending, gets to read the answer; only a body far over
    // the limit makes the service drop the connection.
    std::string body;
    const std::size_t announced = request.get_header_value<std::uint64_t>("Content-Length");
    if (announced <= kMaxBodyBytes) body.reserve(announced);
    std::size_t received = 0;
    bool too_large = false;
    const bool complete = content_reader([&](const char* data, std::size_t length) {
      received += length;
      if (received <= kMaxBodyBytes) {
        body.append(data, length);
        return true;
      }
      if (!too_large) {
        too_large = true;
        std::string().swap(body);
      }
      return received <= kDrainLimit;
    });
    current_record.body_bytes = received;
    if (too_large) {
      if (complete) {
        current_record.error = static_cast<int>(ServiceError::kBodyTooLarge);
        Reply(response, ErrorReply(ServiceError::kBodyTooLarge));
      } else {
        ReplyAndClose(response, ServiceError::kBodyTooLarge);
      }
      return;
    }
    if (!complete) {
      ReplyAndClose(response, ServiceError::kNotAForm);
      return;
    }
    std::vector<std::uint8_t> picture;
    std::string format;
    ServiceError error = IsFormType(request.get_header_value("Content-Type"))
                             ? PictureFromBody(body, picture, format)
                             : ServiceError::kNotAForm;
    body.clear();
    body.shrink_to_fit();
    std::vector<RecognizedLine> lines;
    if (error == ServiceError::kNone) {
      EnginePool::Lease engine = pool_.Acquire();
      error = engine->Recognize(picture, lines);
    }
    current_record.error = static_cast<int>(error);
    current_record.lines = lines.size();
    Reply(response, error == ServiceError::kNone ? SuccessReply(lines) : ErrorReply(error));
  });

  // Refusals read the body they do not want (bounded), so that it neither
  // runs into the server's own limits nor spoils the connection.
  const auto refuse = [](const httplib::Request& request,
                         const httplib::ContentReader& content_reader, httplib::Response& response,
                         int status) {
    std::size_t received = 0;
    const auto drain = [&received](const char*, std::size_t length) {
      received += length;
      return received <= kDrainLimit;
    };
    const bool complete =
        request.is_multipart_form_data()
            ? content_reader([](const httplib::MultipartFormData&) { return true; }, drain)
            : content_reader(drain);
    response.status = status;
    if (status == 405) response.set_header("Allow", "POST");
    if (!complete) response.set_header("Connection", "close");
  };
  const auto not_allowed = [refuse](const httplib::Request& request, httplib::Response& response,
                                    const httplib::ContentReader& content_reader) {
    refuse(request, content_reader, response, 405);
  };
  const auto not_found = [refuse](const httplib::Request& request, httplib::Response& response,
                                  const httplib::ContentReader& content_reader) {
    refuse(request, content_reader, response, 404);
  };
  const auto not_allowed_without_body = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "POST");
  };
  server.Get("/aidemo", not_allowed_without_body);  // GET and HEAD
  server.Options("/aidemo", not_allowed_without_body);
  server.Put("/aidemo", not_allowed);
  server.Patch("/aidemo", not_allowed);
  server.Delete("/aidemo", not_allowed);
  server.Post(".*", not_found);
  server.Put(".*", not_found);
  server.Patch(".*", not_found);
  server.Delete(".*", not_found);
}

int RecognitionService::Bind() {
  if (options_.port == 0) return server_->bind_to_any_port(options_.bind_address);
  return server_->bind_to_port(options_.bind_address, options_.port) ? options_.port : -1;
}

bool RecognitionService::Run() {
  if (stop_requested_) return true;
  return server_->listen_after_bind();
}

void RecognitionService::Stop() {
  stop_requested_ = true;
  server_->stop();
}

}  // namespace textrill::service
