// The encoding of the largest accepted picture and the reading of a large
// reply, each beside a plain memory operation on the same bytes in the same
// run: base64 + form encoding beside memcpy of the output, TakeAllBetween beside
// a memmem scan for the same marker. Prints the ratios at the end, and the
// time ratio of doubled inputs (2.0 means linear).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/markers.h"
#include "encoding/base64.h"
#include "encoding/url_encoding.h"

namespace {

using textrill::Base64Encode;
using textrill::FormUrlEncode;

constexpr std::size_t kLargestPicture = 4194303;

std::vector<std::uint8_t> RandomBytes(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::mt19937_64 random(42);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// A reply like the recognition service's, `lines` lines of about 168 bytes,
// each with a few double-byte characters.
std::string MakeReply(int lines) {
  std::string reply = "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":" +
                      std::to_string(lines) + ",\"words_result\":[";
  for (int k = 0; k < lines; ++k) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "{\"words\":\"\xD6\xD0\xCE\xC4\xCA\xB6\xB1\xF0 line %06d of the reply\","
                  "\"probability\":{\"average\":0.9%d,\"min\":0.8,\"variance\":0.001},"
                  "\"location\":{\"left\":1,\"top\":%d,\"width\":300,\"height\":20}},\n",
                  k, k % 10, k);
    reply += line;
  }
  reply += "]}}";
  return reply;
}

const std::string kWordsMarker = "\"words\":\"";

void BM_Base64(benchmark::State& state) {
  const auto bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Base64Encode(bytes));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_FormUrlEncode(benchmark::State& state) {
  const std::string text = Base64Encode(RandomBytes(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(FormUrlEncode(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_Pipeline(benchmark::State& state) {
  const auto bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(FormUrlEncode(Base64Encode(bytes)));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The peer: copying the pipeline's output bytes into a new buffer.
void BM_MemcpyOutput(benchmark::State& state) {
  const std::string output =
      FormUrlEncode(Base64Encode(RandomBytes(static_cast<std::size_t>(state.range(0)))));
  for (auto _ : state) {
    std::string copy(output.size(), '\0');
    std::memcpy(copy.data(), output.data(), output.size());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(output.size()));
}

void BM_TakeAllBetween(benchmark::State& state) {
  const std::string reply = MakeReply(static_cast<int>(state.range(0)));
  std::vector<std::string> lines;
  for (auto _ : state) {
    benchmark::DoNotOptimize(textrill::TakeAllBetween(reply, kWordsMarker, "\"", &lines));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(reply.size()));
}

// The peer: memmem finding every left marker of the same text.
void BM_MemmemScan(benchmark::State& state) {
  const std::string reply = MakeReply(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    int count = 0;
    const char* at = reply.data();
    const char* end = reply.data() + reply.size();
    while (const void* hit = memmem(at, static_cast<std::size_t>(end - at), kWordsMarker.data(),
                                    kWordsMarker.size())) {
      ++count;
      at = static_cast<const char*>(hit) + kWordsMarker.size();
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(reply.size()));
}

constexpr std::int64_t kHalfPicture = kLargestPicture / 2;
BENCHMARK(BM_Base64)->Arg(kLargestPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormUrlEncode)->Arg(kLargestPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline)->Arg(kHalfPicture)->Arg(kLargestPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyOutput)->Arg(kLargestPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TakeAllBetween)->Arg(50000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemmemScan)->Arg(100000)->Unit(benchmark::kMillisecond);

// Collects each run's time per iteration, to print the ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) seconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  double Time(const std::string& name) const {
    auto it = seconds_.find(name);
    return it == seconds_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string full = "/" + std::to_string(kLargestPicture);
  const std::string half = "/" + std::to_string(kHalfPicture);
  const double pipeline = reporter.Time("BM_Pipeline" + full);
  const double memcpy_time = reporter.Time("BM_MemcpyOutput" + full);
  const double take = reporter.Time("BM_TakeAllBetween/100000");
  const double memmem_time = reporter.Time("BM_MemmemScan/100000");
  std::printf("\nratios (lower is better; targets in brackets)\n");
  if (memcpy_time > 0) {
    std::printf("  base64 + form encoding / memcpy of the output : %6.2fx  [<= 4]\n",
                pipeline / memcpy_time);
  }
  if (memmem_time > 0) {
    std::printf("  TakeAllBetween / memmem scan, 16 MB reply     : %6.2fx  [<= 3]\n",
                take / memmem_time);
  }
  if (reporter.Time("BM_Pipeline" + half) > 0) {
    std::printf("  pipeline, doubled input                       : %6.2fx  [<= 2]\n",
                pipeline / reporter.Time("BM_Pipeline" + half));
  }
  if (reporter.Time("BM_TakeAllBetween/50000") > 0) {
    std::printf("  TakeAllBetween, doubled input                 : %6.2fx  [<= 2]\n",
                take / reporter.Time("BM_TakeAllBetween/50000"));
  }
  return 0;
}
