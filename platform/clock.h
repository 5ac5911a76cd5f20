// The one clock of the Linux registry: the time written into new and touched sections.
#pragma once

#include <cstdint>
#include <functional>

namespace oarepair::platform {

// FILETIME ticks: 100 ns since 1601-01-01 UTC.
uint64_t NowFileTime();

// Replaces the clock (tests fix the time); an empty function restores the system clock.
void SetClock(std::function<uint64_t()> clock);

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000;

}  // namespace oarepair::platform
