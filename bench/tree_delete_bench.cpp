// Deleting a tree of 10,000, 100,000 and 1,000,000 keys through CLayeredRegKey::DeleteSubKey, in
// the in-memory registry and in a prefix, where the deletion ends with one rewrite of system.reg.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "bench/bench_support.h"
#include "platform/registry_control.h"
#include "regkey/LayeredRegKey.h"

namespace oarepair::bench {
namespace {

const char kClassesKey[] = "CLSID";
const char kTreeName[] = "{B3E1C0DE-5EED-4A11-9E55-000000000001}";
const char kTreePath[] = "CLSID\\{B3E1C0DE-5EED-4A11-9E55-000000000001}";

using Clock = std::chrono::steady_clock;

bool TreeExists() {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kTreePath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
    return false;
  RegCloseKey(hKey);
  return true;
}

bool BuildClassTree(size_t nKeys) {
  HKEY hClasses = nullptr;
  if (RegCreateKeyA(HKEY_CLASSES_ROOT, kClassesKey, &hClasses) != ERROR_SUCCESS) return false;
  const bool ok = BuildTree(hClasses, kTreeName, nKeys);
  RegCloseKey(hClasses);
  return ok;
}

bool DeleteClassTree() {
  CLayeredRegKey key(HKEY_CLASSES_ROOT, kClassesKey, nullptr);
  return key.DeleteSubKey(kTreeName);
}

void SetCounters(benchmark::State& state) {
  state.counters["n"] = static_cast<double>(state.range(0));
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The registry held in memory: the walk and the key deletions alone.
void TreeDelete_Memory(benchmark::State& state) {
  const auto nKeys = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    platform::UseMemoryRegistry();
    if (!BuildClassTree(nKeys)) {
      state.SkipWithError("cannot build the tree");
      break;
    }
    state.ResumeTiming();
    const bool deleted = DeleteClassTree();
    state.PauseTiming();
    const bool gone = !TreeExists();
    platform::UseMemoryRegistry();
    state.ResumeTiming();
    if (!deleted || !gone) {
      state.SkipWithError("the tree was not deleted");
      break;
    }
  }
  SetCounters(state);
}
BENCHMARK(TreeDelete_Memory)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// A prefix whose system.reg holds the tree (the first --prefix's registry plus the tree, or a
// minimal file plus the tree). The load happens outside the timing (HiveLoad measures it); the
// time is the deletion plus the single save that ends the session.
void TreeDelete_Prefix(benchmark::State& state) {
  const auto nKeys = static_cast<size_t>(state.range(0));
  const std::string source = Options().prefixes.empty() ? std::string() : Options().prefixes[0];
  TempDir dir;
  if (!dir.Valid() || !MakeRegistryPrefix(source, dir.Path())) {
    state.SkipWithError("cannot make the prefix");
    return;
  }
  platform::UsePrefixRegistry(dir.Path());
  if (!BuildClassTree(nKeys) || platform::FlushRegistry() != ERROR_SUCCESS) {
    state.SkipWithError("cannot build the tree");
    return;
  }
  platform::UseMemoryRegistry();
  const std::string file = dir.File("system.reg");
  const std::string withTree = dir.File("system.reg.tree");
  if (!CopyFile(file, withTree)) {
    state.SkipWithError("cannot keep a copy of the file");
    return;
  }
  double load = 0;
  double remove = 0;
  double save = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bool ready = CopyFile(withTree, file);
    ::sync();  // the copy's writeback must not land in the save's fsync
    platform::UsePrefixRegistry(dir.Path());
    HKEY hClasses = nullptr;  // held so that the session, and its load, starts here
    const Clock::time_point start = Clock::now();
    ready = ready && RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassesKey, 0, KEY_READ, &hClasses) ==
                         ERROR_SUCCESS;
    load += std::chrono::duration<double>(Clock::now() - start).count();
    state.ResumeTiming();
    if (!ready) {
      state.SkipWithError("cannot load the prefix");
      break;
    }
    const Clock::time_point begin = Clock::now();
    const bool deleted = DeleteClassTree();
    const Clock::time_point middle = Clock::now();
    RegCloseKey(hClasses);  // the last handle: the session ends with one save
    remove += std::chrono::duration<double>(middle - begin).count();
    save += std::chrono::duration<double>(Clock::now() - middle).count();
    state.PauseTiming();
    const bool gone = !TreeExists();  // loads the saved file again
    platform::UseMemoryRegistry();
    state.ResumeTiming();
    if (!deleted || !gone) {
      state.SkipWithError("the tree was not deleted");
      break;
    }
  }
  const double n = static_cast<double>(state.iterations());
  if (n > 0) {
    state.counters["load_ms"] = load / n * 1e3;
    state.counters["delete_ms"] = remove / n * 1e3;
    state.counters["save_ms"] = save / n * 1e3;
  }
  state.counters["file_MB"] = static_cast<double>(FileSize(withTree)) / 1e6;
  SetCounters(state);
}
BENCHMARK(TreeDelete_Prefix)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace oarepair::bench
