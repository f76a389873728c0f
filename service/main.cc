// textrill-service: a local text recognition service for textrill.
//
//   textrill-service [--port N] [--bind ADDRESS] [--lang LANGUAGES] [--threads N]
//
// Answers POST /aidemo on 127.0.0.1:8089 unless told otherwise. --port 0 picks
// a free port. Once it listens it prints "listening on http://ADDRESS:PORT/aidemo"
// on standard output. SIGINT or SIGTERM stop it.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "service/server.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: textrill-service [--port N] [--bind ADDRESS] [--lang LANGUAGES] "
               "[--threads N]\n"
               "  --port N          port to listen on (default 8089, 0 = any free port)\n"
               "  --bind ADDRESS    address to listen on (default 127.0.0.1)\n"
               "  --lang LANGUAGES  Tesseract languages (default chi_sim+eng)\n"
               "  --threads N       recognition engines (default: one per core)\n");
}

bool ParseInt(std::string_view text, int low, int high, int& value) {
  int parsed = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high) {
    return false;
  }
  value = parsed;
  return true;
}

bool ParseArguments(int argc, char** argv, textrill::service::ServiceOptions& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view name = argv[i];
    if (name == "--help" || name == "-h") return false;
    if (i + 1 >= argc) {
      std::fprintf(stderr, "textrill-service: %s needs a value\n", argv[i]);
      return false;
    }
    std::string_view value = argv[++i];
    bool ok = true;
    if (name == "--port") {
      ok = ParseInt(value, 0, 65535, options.port);
    } else if (name == "--threads") {
      ok = ParseInt(value, 1, 256, options.engines);
    } else if (name == "--bind") {
      options.bind_address = value;
      ok = !value.empty();
    } else if (name == "--lang") {
      options.languages = value;
      ok = !value.empty();
    } else {
      std::fprintf(stderr, "textrill-service: unknown option %s\n", argv[i - 1]);
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "textrill-service: bad value for %s: %s\n", argv[i - 1], argv[i]);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Each engine runs on one request thread; Tesseract's OpenMP teams on top of
  // that only fight over the cores and spin. The OpenMP runtime reads its
  // thread limit once, when it is loaded, so the limit is set by starting the
  // program again with it in the environment.
  if (std::getenv("OMP_THREAD_LIMIT") == nullptr) {
    setenv("OMP_THREAD_LIMIT", "1", 1);
    execv("/proc/self/exe", argv);
    // Could not start again: run on, with OpenMP teams.
  }

  textrill::service::ServiceOptions options;
  if (!ParseArguments(argc, argv, options)) {
    Usage();
    return 2;
  }

  // Big buffers (request bodies, pictures) go back to the system when freed
  // instead of staying in the heap, and a few arenas are enough: this keeps
  // the service's memory flat over many requests.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  mallopt(M_ARENA_MAX, 4);

  // A client that goes away mid-reply must not end the service.
  signal(SIGPIPE, SIG_IGN);
  // SIGINT and SIGTERM are taken by a thread of ours; every other thread
  // inherits this mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::string error;
  auto service = textrill::service::RecognitionService::Create(options, error);
  if (!service) {
    std::fprintf(stderr, "textrill-service: %s\n", error.c_str());
    return 1;
  }
  const int port = service->Bind();
  if (port < 0) {
    std::fprintf(stderr, "textrill-service: cannot listen on %s port %d\n",
                 options.bind_address.c_str(), options.port);
    return 1;
  }

  std::atomic<bool> finished{false};
  std::thread stopper([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    // Run may not have started listening yet when the signal comes.
    while (!finished) {
      service->Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });

  std::printf("listening on http://%s:%d/aidemo\n", options.bind_address.c_str(), port);
  std::fflush(stdout);
  std::fprintf(stderr, "textrill-service: %d engines (%s) on %s:%d\n", service->engine_count(),
               options.languages.c_str(), options.bind_address.c_str(), port);
  const bool ran = service->Run();
  finished = true;
  // Wake the stopper if Run ended by itself.
  if (!ran) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  service.reset();
  return ran ? 0 : 1;
}
