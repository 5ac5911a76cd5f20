// The registry's clock: the system clock in FILETIME ticks unless a test has fixed it.
#include "platform/clock.h"

#include <chrono>
#include <utility>

namespace oarepair::platform {
namespace {

std::function<uint64_t()>& ClockOverride() {
  static std::function<uint64_t()> clock;
  return clock;
}

uint64_t SystemFileTime() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
  const int64_t sinceUnixEpoch =
      std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  // A clock set before 1601 cannot be written as a FILETIME; such a clock gives the earliest one.
  if (sinceUnixEpoch < 0 && static_cast<uint64_t>(-sinceUnixEpoch) > kUnixEpochAsFileTime) {
    return 0;
  }
  return static_cast<uint64_t>(static_cast<int64_t>(kUnixEpochAsFileTime) + sinceUnixEpoch);
}

}  // namespace

uint64_t NowFileTime() {
  const std::function<uint64_t()>& clock = ClockOverride();
  return clock ? clock() : SystemFileTime();
}

void SetClock(std::function<uint64_t()> clock) { ClockOverride() = std::move(clock); }

}  // namespace oarepair::platform
