// Benchmarks over the registry files of real prefixes (given with --prefix=DIR): loading and
// saving system.reg, the whole repair through the registry calls, and the peak memory of each
// measured in a fresh process.
#pragma once

#include <cstdio>
#include <string>

namespace oarepair::bench {

// Registers HiveLoad, HiveSave, HiveSaveAtomic and Repair for every prefix of Options().
void RegisterPrefixBenchmarks();

// Prints the peak-memory table to `out`: one fresh process per prefix and case.
void PrintPeakMemoryTable(const std::string& self, FILE* out);

// The body of such a process (--peak-case=load|save|repair --peak-path=FILE_OR_PREFIX): does the
// work, prints "baseline_kb peak_kb" on standard output and returns the exit status.
int RunPeakCase(const std::string& which, const std::string& path);

}  // namespace oarepair::bench
