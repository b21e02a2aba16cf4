#pragma once

// Waiting in tests. Something that should happen is waited for on its own condition (WaitUntil;
// in Qt tests QTest::qWaitFor, which keeps the event loop going). That something does NOT happen
// can only be seen over a span of time; such checks go through NothingHappensFor, so a reader sees
// which waits are fixed on purpose.

#include <chrono>
#include <functional>
#include <thread>

namespace veldrin_test {

// For tests without Qt: true as soon as `done` holds, false when `limit` passed first.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// True when `happened` stayed false for the whole of `span`; false as soon as it turns true.
// `pump` runs between checks: a Qt test passes its event processing, so queued calls arrive.
inline bool NothingHappensFor(std::chrono::milliseconds span, const std::function<bool()>& happened,
                              const std::function<void()>& pump = {}) {
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) {
    if (pump) pump();
    if (happened()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (pump) pump();
  return !happened();
}

}  // namespace veldrin_test
