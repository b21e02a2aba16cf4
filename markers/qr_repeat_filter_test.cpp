#include "markers/qr_repeat_filter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = CQRRepeatFilter::Clock;

TEST(QRRepeatFilter, ShowsATextOnceUntilItWasAwayOrAnotherCame) {
  CQRRepeatFilter filter;
  const Clock::time_point t0 = Clock::now();
  EXPECT_TRUE(filter.ShouldShow("A", t0));
  // While the box was open nothing was scanned; after OK the code is still there.
  filter.Closed(t0 + 10s);
  EXPECT_FALSE(filter.ShouldShow("A", t0 + 10s + 100ms));
  for (int i = 1; i < 50; ++i) EXPECT_FALSE(filter.ShouldShow("A", t0 + 10s + i * 100ms));
  // Out of view for two seconds: shown again.
  EXPECT_TRUE(filter.ShouldShow("A", t0 + 17s));
  EXPECT_TRUE(filter.ShouldShow("B", t0 + 17s + 100ms));
  EXPECT_TRUE(filter.ShouldShow("A", t0 + 17s + 200ms));
}

}  // namespace
