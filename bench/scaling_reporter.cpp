#include "bench/scaling_reporter.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace oarepair::bench {
namespace {

// Time may grow at most this much faster than size: ten times the keys in twelve times the time.
constexpr double kAllowedExcess = 1.2;

// The name without its size: the first argument dropped ("EnumKeyByIndex/children:1000/sorted:0"
// gives "EnumKeyByIndex/sorted:0"), and a ':' tag of a registered name ("HiveLoad:big").
std::string FamilyOf(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t slash = name.find('/', start);
    parts.push_back(name.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::string family = parts[0].substr(0, parts[0].find(':'));
  for (size_t i = 2; i < parts.size(); ++i) family += "/" + parts[i];
  return family;
}

std::string SizeText(double n) {
  char buffer[32];
  if (n >= 1e6)
    std::snprintf(buffer, sizeof buffer, "%gM", n / 1e6);
  else if (n >= 1e3)
    std::snprintf(buffer, sizeof buffer, "%gk", n / 1e3);
  else
    std::snprintf(buffer, sizeof buffer, "%g", n);
  return buffer;
}

}  // namespace

void ScalingReporter::ReportRuns(const std::vector<Run>& reports) {
  ConsoleReporter::ReportRuns(reports);
  for (const Run& run : reports) {
    if (run.error_occurred) continue;
    // Single runs, or the median of repetitions (all that --benchmark_report_aggregates_only
    // leaves); a size seen both ways keeps its fastest figure.
    if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
    auto n = run.counters.find("n");
    if (n == run.counters.end() || n->second.value <= 0) continue;
    const std::string name = run.run_name.str();
    const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
    Point point;
    point.name = name;
    point.n = n->second.value;
    point.cpuSeconds = run.GetAdjustedCPUTime() / unit;
    point.realSeconds = run.GetAdjustedRealTime() / unit;
    point.wallClock = !run.run_name.time_type.empty();
    const std::string family = FamilyOf(name);
    auto& points = m_families[family];
    if (points.empty()) m_order.push_back(family);
    // With repetitions, the fastest run of a size stands for it: the others met more noise.
    auto same = std::find_if(points.begin(), points.end(),
                             [&](const Point& p) { return p.name == name; });
    if (same == points.end()) {
      points.push_back(point);
    } else {
      same->cpuSeconds = std::min(same->cpuSeconds, point.cpuSeconds);
      same->realSeconds = std::min(same->realSeconds, point.realSeconds);
    }
  }
}

void ScalingReporter::Finalize() {
  ConsoleReporter::Finalize();
  bool header = false;
  for (const std::string& family : m_order) {
    std::vector<Point> points = m_families[family];
    if (points.size() < 2) continue;
    std::stable_sort(points.begin(), points.end(),
                     [](const Point& a, const Point& b) { return a.n < b.n; });
    if (!header) {
      std::printf("\nScaling (per size the fastest run or median; linear when time ratio <= %.1f x size"
                  " ratio)\n",
                  kAllowedExcess);
      std::printf("%-50s %9s %10s %9s %10s  %s\n", "from -> to", "size x", "cpu x", "real x",
                  "per-unit x", "verdict");
      header = true;
    }
    for (size_t i = 1; i < points.size(); ++i) {
      const Point& a = points[i - 1];
      const Point& b = points[i];
      const double sizeRatio = b.n / a.n;
      const double cpuRatio = a.cpuSeconds > 0 ? b.cpuSeconds / a.cpuSeconds : 0;
      const double realRatio = a.realSeconds > 0 ? b.realSeconds / a.realSeconds : 0;
      // CPU time decides for computing work (on a shared machine wall time also counts other
      // people's work); wall time for work that waits on the disk.
      const double perUnit = (b.wallClock ? realRatio : cpuRatio) / sizeRatio;
      const std::string label = family + " " + SizeText(a.n) + " -> " + SizeText(b.n);
      std::printf("%-50s %9.2f %10.2f %9.2f %10.2f  %s\n", label.c_str(), sizeRatio, cpuRatio,
                  realRatio, perUnit, perUnit <= kAllowedExcess ? "linear" : "NOT LINEAR");
    }
  }
  std::fflush(stdout);
}

}  // namespace oarepair::bench
