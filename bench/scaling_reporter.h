// The console report of Google Benchmark, followed by a scaling table: for every family of runs
// that differ only in problem size, how much more time the larger size took than the smaller.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace oarepair::bench {

// Runs report their problem size in the counter "n" (keys, names or bytes). Runs are grouped by
// their name without the first argument and without a ':' tag ("TreeDelete_Memory/100000" gives
// "TreeDelete_Memory", "EnumKeyByIndex/children:10000/sorted:1" gives "EnumKeyByIndex/sorted:1",
// "HiveLoad:big" gives "HiveLoad"). For each pair of neighbouring sizes the table shows the
// size ratio, the time ratio, and whether time grew at most 1.2 times as fast as size (ten
// times the work in at most twelve times the time). The verdict uses CPU time, except for
// benchmarks timed by the wall clock (UseRealTime, UseManualTime), whose work includes waiting
// for the disk.
class ScalingReporter : public benchmark::ConsoleReporter {
 public:
  explicit ScalingReporter(OutputOptions options) : ConsoleReporter(options) {}
  void ReportRuns(const std::vector<Run>& reports) override;
  void Finalize() override;

 private:
  struct Point {
    std::string name;
    double n = 0;
    double cpuSeconds = 0;
    double realSeconds = 0;
    bool wallClock = false;  // measured by real or manual time: waiting for the disk counts
  };
  std::map<std::string, std::vector<Point>> m_families;
  std::vector<std::string> m_order;
};

}  // namespace oarepair::bench
