// The benchmark program: our own options, then Google Benchmark's.
//
//   oarepair_bench [--prefix=DIR]... [--no-peak] [--benchmark_...]
//
// Every --prefix adds the file benchmarks (HiveLoad, HiveSave, HiveSaveAtomic, Repair) and the
// peak-memory table for that prefix's system.reg; the first one is also the base of the
// TreeDelete_Prefix benchmark. Without a prefix only the registry benchmarks run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/hive_file_bench.h"
#include "bench/scaling_reporter.h"
#include "platform/registry_control.h"

namespace {

bool TakeValue(const char* arg, const char* option, std::string* value) {
  const size_t length = std::strlen(option);
  if (std::strncmp(arg, option, length) != 0) return false;
  *value = arg + length;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  namespace bench = oarepair::bench;
  // Nothing here may touch the user's own prefix: the registry starts in memory.
  oarepair::platform::UseMemoryRegistry();

  std::vector<char*> rest;
  std::string peakCase;
  std::string peakPath;
  bool peakTable = true;
  // Colours only on a terminal, and never when --benchmark_color=false asks for none.
  bool color = ::isatty(STDOUT_FILENO) == 1;
  // With --benchmark_format=json or csv, stdout carries that format alone: Google Benchmark's
  // own reporter writes it, and our tables go to stderr.
  bool console = true;
  for (int i = 0; i < argc; ++i) {
    std::string value;
    if (i > 0 && TakeValue(argv[i], "--prefix=", &value)) {
      bench::Options().prefixes.push_back(value);
    } else if (i > 0 && TakeValue(argv[i], "--peak-case=", &value)) {
      peakCase = value;
    } else if (i > 0 && TakeValue(argv[i], "--peak-path=", &value)) {
      peakPath = value;
    } else if (i > 0 && std::strcmp(argv[i], "--no-peak") == 0) {
      peakTable = false;
    } else {
      if (std::strcmp(argv[i], "--benchmark_color=false") == 0) color = false;
      if (TakeValue(argv[i], "--benchmark_format=", &value)) console = value == "console";
      rest.push_back(argv[i]);
    }
  }
  if (!peakCase.empty()) return bench::RunPeakCase(peakCase, peakPath);

  for (const std::string& prefix : bench::Options().prefixes) {
    if (bench::FileSize(prefix + "/system.reg") == 0) {
      std::fprintf(stderr, "oarepair_bench: %s has no system.reg\n", prefix.c_str());
      return 2;
    }
  }

  int restCount = static_cast<int>(rest.size());
  rest.push_back(nullptr);
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 2;

  bench::RegisterPrefixBenchmarks();
  if (peakTable) bench::PrintPeakMemoryTable("/proc/self/exe", console ? stdout : stderr);

  if (console) {
    bench::ScalingReporter reporter(color ? benchmark::ConsoleReporter::OO_ColorTabular
                                           : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  return 0;
}
