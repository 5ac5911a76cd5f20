// Wine registry file text for tests (headers, sections, wrapped hex values, large files) and the
// throwaway Wine prefix a test can compare against, made once per test run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace oarepair::test_support {

// The four header lines Wine 8.0 writes, for the branch named in the comment line, e.g.
// "REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000" (written with the doubled backslashes of the file).
std::string RegFileHeader(std::string_view branch = "REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000");

// FILETIME of a Unix time, and its "#time=" text as Wine writes it.
uint64_t FileTimeOfSeconds(uint32_t seconds);
std::string FileTimeText(uint64_t fileTime);

// One section as Wine writes it: blank line, "[path] seconds", "#time=...", then `body` (value
// lines, each ending in '\n'). `escapedPath` is used as given.
std::string RegSection(std::string_view escapedPath, uint32_t seconds, std::string_view body = "");

// A hex value line wrapped exactly as Wine wraps it; `lead` is what comes before the bytes, e.g.
// "\"bin\"=hex:" or "@=hex(6):".
std::string WrappedHexValue(std::string_view lead, size_t byteCount, uint8_t firstByte = 0);
std::string WrappedHexValue(std::string_view lead, const std::vector<uint8_t>& bytes);

// A Wine-style file of about `approxBytes`, shaped like a real system.reg: thousands of keys
// spread over a few levels, most with a handful of string, dword and hex values.
std::string LargeHiveText(size_t approxBytes);

// --- Wine itself (the 64-bit loader; this machine cannot run the 32-bit one).

// Empty when /usr/lib/wine/wine64 can run here, else why not.
std::string WineUnavailableReason();

// A prefix made by `wineboot -i` once per test run (under a temp folder removed at exit), with
// its wineserver gone. Empty on failure, with the reason in *why.
const std::string& WinebootPrefix(std::string* why);

// Copies a prefix (cp -a) into a new temp folder removed at exit; returns the copy or "".
std::string CopyPrefix(const std::string& prefix);

// Runs "wine64 <args>" in `prefix` (WINEDEBUG=-all) and returns its exit status, or -1.
int RunWine(const std::string& prefix, const std::string& args, std::string* output = nullptr);

// Keeps a wineserver running for the prefix until StopWineserver, so that several Wine commands
// in a row do not each start one.
void StartWineserver(const std::string& prefix);
// Ends the prefix's wineserver (and its processes) and waits until it has saved and exited.
void StopWineserver(const std::string& prefix);

}  // namespace oarepair::test_support
