// RegEnumKeyExA by index over every child of a key with 10,000, 100,000 and 1,000,000 children,
// as a listing walks it: index 0, 1, 2 and so on. The children are created either in random order
// (each call then reaches a node far in memory from the last one) or in the enumeration order,
// as loading a file creates them; the gap between the two is memory latency, not the algorithm.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/registry_control.h"

namespace oarepair::bench {
namespace {

const char kWidePath[] = "Software\\Wide";

void EnumKeyByIndex(benchmark::State& state, bool sorted) {
  const auto n = static_cast<size_t>(state.range(0));
  platform::UseMemoryRegistry();
  HKEY hKey = nullptr;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kWidePath, &hKey) != ERROR_SUCCESS) {
    state.SkipWithError("cannot create the key");
    return;
  }
  std::vector<std::string> names = ClassIdNames(n, 0xE5);
  if (sorted) std::sort(names.begin(), names.end());  // upper-case hex: byte order is Wine's
  for (const std::string& name : names) {
    HKEY hChild = nullptr;
    if (RegCreateKeyA(hKey, name.c_str(), &hChild) != ERROR_SUCCESS) {
      state.SkipWithError("cannot create a child");
      RegCloseKey(hKey);
      return;
    }
    RegCloseKey(hChild);
  }
  char szName[256];
  for (auto _ : state) {
    DWORD dwIndex = 0;
    for (;; ++dwIndex) {
      DWORD cchName = sizeof szName;
      FILETIME ftLastWrite;
      if (RegEnumKeyExA(hKey, dwIndex, szName, &cchName, nullptr, nullptr, nullptr,
                        &ftLastWrite) != ERROR_SUCCESS)
        break;
      benchmark::DoNotOptimize(szName[0]);
    }
    if (dwIndex != n) {
      state.SkipWithError("the enumeration ended early");
      break;
    }
  }
  RegCloseKey(hKey);
  platform::UseMemoryRegistry();
  state.counters["n"] = static_cast<double>(n);
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
void EnumKeyByIndex_Random(benchmark::State& state) { EnumKeyByIndex(state, false); }
void EnumKeyByIndex_Sorted(benchmark::State& state) { EnumKeyByIndex(state, true); }
BENCHMARK(EnumKeyByIndex_Random)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(EnumKeyByIndex_Sorted)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace oarepair::bench
