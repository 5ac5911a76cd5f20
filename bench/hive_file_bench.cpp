#include "bench/hive_file_bench.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/atomic_file.h"
#include "platform/file_system.h"
#include "platform/hive_file.h"
#include "platform/registry_control.h"
#include "regkey/LayeredRegKey.h"

namespace oarepair::bench {
namespace {

using platform::FileSystem;
using platform::HiveIndex;
using platform::HiveParseError;
using platform::HiveParseStatus;

const char kClassesKey[] = "CLSID";
const char kDispatchClassId[] = "{00020420-0000-0000-C000-000000000046}";
const char kDispatchClassPath[] = "CLSID\\{00020420-0000-0000-C000-000000000046}";

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this process (user and system), in seconds.
double ProcessCpuSeconds() {
  timespec now {};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// An open file that closes itself.
class OpenFile {
 public:
  OpenFile(const std::string& path, int flags, mode_t mode = 0) {
    if (platform::PosixFileSystem().Open(path, flags | O_CLOEXEC, mode, &m_fd) != 0) m_fd = -1;
  }
  ~OpenFile() {
    if (m_fd >= 0) platform::PosixFileSystem().Close(m_fd);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
};

platform::HiveByteSource SourceOf(int fd) {
  return [fd](uint64_t offset, uint64_t length, std::string* out) {
    out->resize(length);
    uint64_t done = 0;
    while (done < length) {
      size_t got = 0;
      const int rc = platform::PosixFileSystem().PRead(fd, &(*out)[done], length - done,
                                                       offset + done, &got);
      if (rc != 0) return rc;
      if (got == 0) return EIO;
      done += got;
    }
    return 0;
  };
}

// The registry's load: one validating pass that records the index of the file's sections.
bool Parse(int fd, HiveIndex* index, std::string* message) {
  HiveParseError error;
  if (platform::IndexHiveFile(platform::PosixFileSystem(), fd, SourceOf(fd), index, &error) ==
      HiveParseStatus::kOk)
    return true;
  *message = error.message.empty() ? "cannot parse the file" : error.message;
  return false;
}

// The registry's save of an unchanged file: every section streamed from the original.
int Write(const HiveIndex& index, const platform::HiveByteSource& source,
          const platform::HiveByteSink& sink) {
  return platform::StreamHive(
      index.headerLength, index.SectionCount(), [&](size_t i) { return index.offset[i]; },
      [&](size_t i) { return index.SectionLength(i); }, [&](size_t i) { return !index.removed[i]; },
      {}, source, sink);
}

void SetSizeCounters(benchmark::State& state, uint64_t bytes, size_t sections) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["n"] = static_cast<double>(bytes);
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["sections"] = static_cast<double>(sections);
}

// Checking and indexing system.reg (the file is in the page cache).
void HiveLoad(benchmark::State& state, const std::string& file) {
  OpenFile in(file, O_RDONLY);
  if (in.Fd() < 0) {
    state.SkipWithError(("cannot open " + file).c_str());
    return;
  }
  size_t sections = 0;
  for (auto _ : state) {
    auto index = std::make_unique<HiveIndex>();
    std::string message;
    if (!Parse(in.Fd(), index.get(), &message)) {
      state.SkipWithError(message.c_str());
      break;
    }
    sections = index->SectionCount();
    state.PauseTiming();
    index.reset();  // freeing the index is not loading
    state.ResumeTiming();
  }
  SetSizeCounters(state, FileSize(file), sections);
}

// Loads `file` (open as `in`) for a save benchmark that writes into `dir`; skips the benchmark
// with the reason when it cannot.
bool LoadForSave(benchmark::State& state, const std::string& file, const OpenFile& in,
                 const TempDir& dir, HiveIndex* index) {
  std::string message;
  if (in.Fd() >= 0 && dir.Valid() && Parse(in.Fd(), index, &message)) return true;
  state.SkipWithError(("cannot load " + file + ": " + message).c_str());
  return false;
}

// Writing the loaded file back: every section copied from the original file into a plain file
// without fsync, so this is the cost of producing the bytes.
void HiveSave(benchmark::State& state, const std::string& file) {
  OpenFile in(file, O_RDONLY);
  TempDir dir;
  HiveIndex index;
  if (!LoadForSave(state, file, in, dir, &index)) return;
  const std::string outPath = dir.File("out.reg");
  const platform::HiveByteSource source = SourceOf(in.Fd());
  for (auto _ : state) {
    bool written = false;
    {
      OpenFile out(outPath, O_WRONLY | O_CREAT | O_EXCL, 0644);
      const int fd = out.Fd();
      const platform::HiveByteSink sink = [fd](const char* data, size_t size) {
        return platform::PosixFileSystem().Write(fd, data, size);
      };
      written = fd >= 0 && Write(index, source, sink) == 0;
    }
    state.PauseTiming();
    // A new file each time: truncating the last one would free its pages inside the timing.
    const bool sameSize = FileSize(outPath) == FileSize(file);
    ::unlink(outPath.c_str());
    state.ResumeTiming();
    if (!written || !sameSize) {
      state.SkipWithError("cannot write the file, or it differs in size");
      break;
    }
  }
  SetSizeCounters(state, FileSize(file), index.SectionCount());
}

// The store's save: a temp file beside the target, fsync, rename, fsync of the folder.
void HiveSaveAtomic(benchmark::State& state, const std::string& file) {
  OpenFile in(file, O_RDONLY);
  TempDir dir;
  HiveIndex index;
  if (!LoadForSave(state, file, in, dir, &index)) return;
  const std::string outPath = dir.File("system.reg");
  const platform::HiveByteSource source = SourceOf(in.Fd());
  const auto produce = [&](const platform::AtomicWriteSink& sink) {
    return Write(index, source, sink);
  };
  for (auto _ : state) {
    if (platform::AtomicReplaceFile(platform::PosixFileSystem(), outPath, produce) != 0) {
      state.SkipWithError("cannot save the file");
      break;
    }
  }
  SetSizeCounters(state, FileSize(file), index.SectionCount());
}

// What the repair program does to the registry, in process: load system.reg, delete the
// dispatch class key with its subtree through CLayeredRegKey, save once. Each iteration works on
// a fresh copy of the prefix's registry files, made (and synced) outside the timing.
void Repair(benchmark::State& state, const std::string& prefix) {
  double load = 0;
  double remove = 0;
  double save = 0;
  bool checked = false;
  for (auto _ : state) {
    TempDir dir;
    if (!dir.Valid() || !MakeRegistryPrefix(prefix, dir.Path())) {
      state.SkipWithError("cannot copy the prefix");
      break;
    }
    ::sync();  // the copy's writeback must not land in the save's fsync
    platform::UsePrefixRegistry(dir.Path());

    const Clock::time_point start = Clock::now();
    HKEY hClasses = nullptr;  // held so the session (and the load) happens here
    const LONG opened = RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassesKey, 0, KEY_READ, &hClasses);
    const Clock::time_point loaded = Clock::now();
    bool deleted = false;
    {
      CLayeredRegKey key(HKEY_CLASSES_ROOT, kClassesKey, nullptr);
      deleted = key.DeleteSubKey(kDispatchClassId);
    }
    const Clock::time_point removed = Clock::now();
    if (opened == ERROR_SUCCESS) RegCloseKey(hClasses);  // the last handle: the one save
    const double total = SecondsSince(start);
    state.SetIterationTime(total);
    load += std::chrono::duration<double>(loaded - start).count();
    remove += std::chrono::duration<double>(removed - loaded).count();
    save += SecondsSince(removed);

    if (opened != ERROR_SUCCESS || !deleted) {
      state.SkipWithError("the repair failed");
      break;
    }
    if (!checked) {
      state.PauseTiming();
      HKEY hGone = nullptr;
      const LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, kDispatchClassPath, 0, KEY_READ, &hGone);
      if (rc == ERROR_SUCCESS) RegCloseKey(hGone);
      checked = true;
      state.ResumeTiming();
      if (rc != ERROR_FILE_NOT_FOUND) {
        state.SkipWithError("the class key is still there after the save");
        break;
      }
    }
    platform::UseMemoryRegistry();  // lets go of the folder before it is removed
  }
  const double n = static_cast<double>(state.iterations());
  if (n > 0) {
    state.counters["load_ms"] = load / n * 1e3;
    state.counters["delete_ms"] = remove / n * 1e3;
    state.counters["save_ms"] = save / n * 1e3;
  }
  const uint64_t bytes = FileSize(prefix + "/system.reg");
  state.counters["n"] = static_cast<double>(bytes);
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}

// /proc reports kB (1024 bytes); the tables use MB of 10^6 bytes, like the file sizes.
double KbToMb(long kb) { return static_cast<double>(kb) * 1024.0 / 1e6; }

// Runs this program again with the case's arguments; reads "baseline_kb peak_kb wall_s cpu_s".
bool MeasureInChild(const std::string& self, const std::string& which, const std::string& path,
                    long* baseline, long* peak, double* seconds, double* cpuSeconds) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return false;
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    const std::string caseArg = "--peak-case=" + which;
    const std::string pathArg = "--peak-path=" + path;
    ::execl(self.c_str(), self.c_str(), caseArg.c_str(), pathArg.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string output;
  char buffer[256];
  ssize_t got = 0;
  while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
    output.append(buffer, static_cast<size_t>(got));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         std::sscanf(output.c_str(), "%ld %ld %lf %lf", baseline, peak, seconds, cpuSeconds) == 4;
}

}  // namespace

void RegisterPrefixBenchmarks() {
  for (const std::string& prefix : Options().prefixes) {
    const std::string file = prefix + "/system.reg";
    const std::string tag = ":" + BaseName(prefix);
    benchmark::RegisterBenchmark(("HiveLoad" + tag).c_str(), HiveLoad, file)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("HiveSave" + tag).c_str(), HiveSave, file)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("HiveSaveAtomic" + tag).c_str(), HiveSaveAtomic, file)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("Repair" + tag).c_str(), Repair, prefix)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime();
  }
}

int RunPeakCase(const std::string& which, const std::string& path) {
  platform::UseMemoryRegistry();
  const long baseline = StatusKb("VmRSS");
  const Clock::time_point start = Clock::now();
  const double cpuStart = ProcessCpuSeconds();
  // Freed only after the time is taken: the program never frees its index either.
  HiveIndex index;
  if (which == "load" || which == "save") {
    OpenFile in(path, O_RDONLY);
    std::string message;
    if (in.Fd() < 0 || !Parse(in.Fd(), &index, &message)) {
      std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), message.c_str());
      return 1;
    }
    if (which == "save") {
      TempDir dir;
      OpenFile out(dir.File("out.reg"), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int fd = out.Fd();
      const platform::HiveByteSink sink = [fd](const char* data, size_t size) {
        return platform::PosixFileSystem().Write(fd, data, size);
      };
      if (fd < 0 || Write(index, SourceOf(in.Fd()), sink) != 0) return 1;
    }
  } else if (which == "repair") {
    platform::UsePrefixRegistry(path);
    bool deleted = false;
    {
      CLayeredRegKey key(HKEY_CLASSES_ROOT, kClassesKey, nullptr);
      deleted = key.DeleteSubKey(kDispatchClassId);
    }
    if (!deleted || platform::FlushRegistry() != ERROR_SUCCESS) return 1;
    // The program never frees its tree; the time ends here.
    std::printf("%ld %ld %.6f %.6f\n", baseline, StatusKb("VmHWM"), SecondsSince(start),
                ProcessCpuSeconds() - cpuStart);
    return 0;
  } else {
    std::fprintf(stderr, "unknown case %s\n", which.c_str());
    return 2;
  }
  const double seconds = SecondsSince(start);
  std::printf("%ld %ld %.6f %.6f\n", baseline, StatusKb("VmHWM"), seconds,
              ProcessCpuSeconds() - cpuStart);
  return 0;
}

void PrintPeakMemoryTable(const std::string& self, FILE* out) {
  if (Options().prefixes.empty()) return;
  std::fprintf(out,
               "Peak memory, one fresh process per case (VmHWM; 'added' is VmHWM minus the VmRSS\n"
               "the process had before it started the case; target: added < 2 x file size).\n"
               "'wall s' and 'cpu s' are the case's times in that new process: its heap is new,\n"
               "so every page it fills is a page fault, as in the real program.\n");
  std::fprintf(out, "%-18s %-7s %8s %11s %8s %9s %8s %7s %7s  %s\n", "prefix", "case", "file MB",
               "baseline MB", "peak MB", "added MB", "added/f", "wall s", "cpu s", "verdict");
  for (const std::string& prefix : Options().prefixes) {
    const std::string file = prefix + "/system.reg";
    const double fileMb = static_cast<double>(FileSize(file)) / 1e6;
    for (const char* which : {"load", "save", "repair"}) {
      TempDir copy;
      std::string path = file;
      if (std::strcmp(which, "repair") == 0) {
        if (!copy.Valid() || !MakeRegistryPrefix(prefix, copy.Path())) continue;
        path = copy.Path();
        ::sync();  // the copy's writeback must not land in the save's fsync
      }
      long baseline = 0;
      long peak = 0;
      double seconds = 0;
      double cpuSeconds = 0;
      if (!MeasureInChild(self, which, path, &baseline, &peak, &seconds, &cpuSeconds)) {
        std::fprintf(out, "%-18s %-7s  (failed)\n", BaseName(prefix).c_str(), which);
        continue;
      }
      const double added = KbToMb(peak - baseline);
      const double ratio = fileMb > 0 ? added / fileMb : 0;
      std::fprintf(out, "%-18s %-7s %8.1f %11.1f %8.1f %9.1f %8.2f %7.3f %7.3f  %s\n",
                   BaseName(prefix).c_str(), which, fileMb, KbToMb(baseline), KbToMb(peak), added,
                   ratio, seconds, cpuSeconds, ratio < 2.0 ? "ok" : "OVER");
    }
  }
  std::fprintf(out, "\n");
  std::fflush(out);
}

}  // namespace oarepair::bench
