// The recognition service's HTTP side: POST /aidemo on a cpp-httplib server,
// with a pool of recognition engines.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/recognizer.h"

namespace httplib {
class Server;
}

namespace textrill::service {

struct ServiceOptions {
  std::string bind_address = "127.0.0.1";
  int port = 8089;  // 0: any free port, see RecognitionService::Bind
  std::string languages = "chi_sim+eng";
  int engines = 0;  // 0: one per processor core
};

// A fixed set of engines shared by the request threads. Acquire waits until
// an engine is free, so requests beyond the number of engines wait their turn.
// Thread-safe.
class EnginePool {
 public:
  // Hands `engine` back to the pool when it goes out of scope.
  class Lease {
   public:
    Lease(EnginePool* pool, std::unique_ptr<Recognizer> engine)
        : pool_(pool), engine_(std::move(engine)) {}
    ~Lease() { pool_->Release(std::move(engine_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Recognizer& operator*() const { return *engine_; }
    Recognizer* operator->() const { return engine_.get(); }

   private:
    EnginePool* pool_;
    std::unique_ptr<Recognizer> engine_;
  };

  explicit EnginePool(std::vector<std::unique_ptr<Recognizer>> engines)
      : engines_(std::move(engines)) {}
  Lease Acquire();
  void Release(std::unique_ptr<Recognizer> engine);

 private:
  std::mutex mutex_;
  std::condition_variable available_;
  std::vector<std::unique_ptr<Recognizer>> engines_;
};

// Lifecycle: Create (loads the engines), Bind, then Run on one thread until
// another thread calls Stop. Stop may be called from any thread; a Stop that
// comes just as Run starts may be missed, so a caller that must be sure calls
// it again until Run has returned. One log line per request goes to standard
// error.
class RecognitionService {
 public:
  // Loads `options.engines` engines (one per core when 0). Returns nullptr and
  // sets `error` when an engine cannot load its language models.
  static std::unique_ptr<RecognitionService> Create(const ServiceOptions& options,
                                                    std::string& error);
  ~RecognitionService();
  RecognitionService(const RecognitionService&) = delete;
  RecognitionService& operator=(const RecognitionService&) = delete;

  // Binds the listening socket. Returns the port (the chosen one when
  // options.port is 0), or -1 when the address cannot be bound.
  int Bind();
  // Serves until Stop. Returns false when the server could not run.
  bool Run();
  void Stop();
  int engine_count() const { return engine_count_; }

 private:
  RecognitionService(const ServiceOptions& options,
                     std::vector<std::unique_ptr<Recognizer>> engines);
  void SetUpRoutes();

  ServiceOptions options_;
  int engine_count_ = 0;
  EnginePool pool_;
  std::unique_ptr<httplib::Server> server_;
  std::atomic<bool> stop_requested_{false};
};

}  // namespace textrill::service
