// The MD5 kernel against OpenSSL's on the same buffers. After the usual
// table, prints for each input size the ratio of OpenSSL's time to ours:
// above 1.00 ours is faster.

#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "openssl_md5.h"
#include "platform/md5.h"

namespace {

std::vector<unsigned char> input(size_t size) {
  std::vector<unsigned char> bytes(size);
  uint32_t x = 2463534242u;
  for (unsigned char& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x);
  }
  return bytes;
}

void ours(const unsigned char* data, size_t size, unsigned char digest[16]) {
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, data, static_cast<unsigned int>(size));
  MD5Final(digest, &context);
}

template <void (*Md5)(const unsigned char*, size_t, unsigned char*)>
void BM_Md5(benchmark::State& state) {
  const std::vector<unsigned char> data = input(static_cast<size_t>(state.range(0)));
  unsigned char digest[16];
  for (auto _ : state) {
    Md5(data.data(), data.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK_TEMPLATE(BM_Md5, ours)->Arg(64)->Arg(16384)->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_Md5, openssl_md5)->Arg(64)->Arg(16384)->Arg(1 << 20);

// Keeps each run's time per iteration, to print the ratios at the end.
struct RatioReporter : benchmark::ConsoleReporter {
  std::map<std::string, double> seconds;  // "ours/16384" -> time
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // With repetitions, the median stands for them all.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      const std::string name = run.run_name.function_name + "/" + run.run_name.args;
      const std::string who = name.find("openssl") != std::string::npos ? "openssl" : "ours";
      seconds[who + name.substr(name.rfind('/'))] = run.GetAdjustedRealTime();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Both must compute the same digest, or the comparison means nothing.
  const std::vector<unsigned char> check = input(100000);
  unsigned char a[16], b[16];
  ours(check.data(), check.size(), a);
  openssl_md5(check.data(), check.size(), b);
  if (memcmp(a, b, 16) != 0) {
    fprintf(stderr, "the two MD5 implementations disagree\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nMD5 speed, OpenSSL's time / ours (>= 1.00: ours at least as fast)\n");
  for (const char* size : {"/64", "/16384", "/1048576"}) {
    const auto o = reporter.seconds.find(std::string("ours") + size);
    const auto s = reporter.seconds.find(std::string("openssl") + size);
    if (o != reporter.seconds.end() && s != reporter.seconds.end())
      printf("  %8s bytes: %.3f\n", size + 1, s->second / o->second);
  }
  benchmark::Shutdown();
  return 0;
}
