// The merged subkey listing (CLayeredRegKey::EnumSubKeys) of a layered key with 1,000, 10,000
// and 100,000 names in each location: half of the names in both, a tenth marked deleted.
// MergedListing creates the keys in their enumeration order, as loading a registry file lays them
// out in memory; MergedListing_CreatedAtRandom creates them in random order, so that every
// enumeration step reaches a key far in memory from the previous one (see EnumKeyByIndex).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/registry_control.h"
#include "regkey/LayeredRegKey.h"

namespace oarepair::bench {
namespace {

const char kUpperPath[] = "Software\\Upper\\Merged";
const char kLowerPath[] = "Software\\Lower\\Merged";
const char kMarkerKey[] = "~Deleted";

bool CreateChildren(const std::string& path, const std::vector<std::string>& names, size_t from,
                    size_t to, size_t step) {
  HKEY hParent = nullptr;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &hParent) != ERROR_SUCCESS) return false;
  bool ok = true;
  for (size_t i = from; ok && i < to; i += step) {
    HKEY hChild = nullptr;
    ok = RegCreateKeyA(hParent, names[i].c_str(), &hChild) == ERROR_SUCCESS;
    if (ok) RegCloseKey(hChild);
  }
  RegCloseKey(hParent);
  return ok;
}

// Lower location: names 0 .. n-1. Upper location: names n/2 .. 3n/2-1, so half of each
// location's names are in the other one too. Markers: every tenth lower name (n/10 of them),
// some only in the lower location, some in both. Returns the number of entries the listing must
// have, or -1 on failure.
long BuildLocations(size_t n, bool inOrder) {
  platform::UseMemoryRegistry();
  std::vector<std::string> names = ClassIdNames(n + n / 2, 0x5EED);
  // Upper-case hexadecimal names: byte order is the registry's order.
  if (inOrder) std::sort(names.begin(), names.end());
  if (!CreateChildren(kLowerPath, names, 0, n, 1) ||
      !CreateChildren(kUpperPath, names, n / 2, n + n / 2, 1) ||
      !CreateChildren(std::string(kUpperPath) + "\\" + kMarkerKey, names, 0, n, 10))
    return -1;
  // Lower-only names that are not marked, the shared ones (listed from one location or the
  // other), the upper-only ones.
  size_t lowerOnlyShown = 0;
  for (size_t i = 0; i < n / 2; ++i)
    if (i % 10 != 0) ++lowerOnlyShown;
  return static_cast<long>(lowerOnlyShown + (n - n / 2) + n / 2);
}

void MergedListingOf(benchmark::State& state, bool inOrder) {
  const auto n = static_cast<size_t>(state.range(0));
  const long expected = BuildLocations(n, inOrder);
  if (expected < 0) {
    state.SkipWithError("cannot build the locations");
    return;
  }
  CLayeredRegKey key(HKEY_LOCAL_MACHINE, kUpperPath, kLowerPath);
  for (auto _ : state) {
    const int count = key.EnumSubKeys();
    if (count != expected) {
      state.SkipWithError("the listing has the wrong number of entries");
      break;
    }
  }
  state.counters["n"] = static_cast<double>(n);
  state.counters["entries"] = static_cast<double>(expected);
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}

void MergedListing(benchmark::State& state) { MergedListingOf(state, true); }
void MergedListing_CreatedAtRandom(benchmark::State& state) { MergedListingOf(state, false); }

BENCHMARK(MergedListing)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(MergedListing_CreatedAtRandom)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace oarepair::bench
