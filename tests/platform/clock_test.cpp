// The registry's clock: FILETIME ticks from the system clock, or a fixed time for tests.
#include "platform/clock.h"

#include <ctime>

#include <gtest/gtest.h>

namespace oarepair::platform {
namespace {

constexpr uint64_t kTicksPerSecond = 10000000;

TEST(ClockTest, SystemClockInFileTimeTicks) {
  const uint64_t before = static_cast<uint64_t>(std::time(nullptr));
  const uint64_t now = NowFileTime();
  const uint64_t after = static_cast<uint64_t>(std::time(nullptr));
  EXPECT_GE(now, kUnixEpochAsFileTime + before * kTicksPerSecond);
  EXPECT_LT(now, kUnixEpochAsFileTime + (after + 1) * kTicksPerSecond);
  EXPECT_NE(0u, now % kTicksPerSecond) << "sub-second ticks should be there (1 in 10^7 to fail)";
}

TEST(ClockTest, KnownDateInFileTimeTicks) {
  // 2023-01-01 00:00:00 UTC: 1672531200 s after 1970, and 0x1d91d73fdc30000 ticks after 1601
  // (counted from the calendar, independently of the constant).
  EXPECT_EQ(0x1d91d73fdc30000ULL, kUnixEpochAsFileTime + 1672531200ULL * kTicksPerSecond);
}

TEST(ClockTest, FixedClockAndRestore) {
  SetClock([] { return uint64_t{0x1dd871cf2e0e9baULL}; });
  EXPECT_EQ(0x1dd871cf2e0e9baULL, NowFileTime());
  EXPECT_EQ(0x1dd871cf2e0e9baULL, NowFileTime());
  SetClock({});
  const uint64_t now = NowFileTime();
  EXPECT_GT(now, kUnixEpochAsFileTime + 1600000000ULL * kTicksPerSecond);
}

}  // namespace
}  // namespace oarepair::platform
