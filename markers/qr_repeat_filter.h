#pragma once

#include <chrono>
#include <mutex>
#include <string>

// Decides whether a decoded QR text is shown to the operator. A code that stays in view is read
// on every scan; showing each reading would follow every OK with a new box. A text is shown
// once, and again only after it has been out of view for kQuiet, or after another text was read.
//
// Threads: called from the QR scan thread; guarded by m_mutex.
class CQRRepeatFilter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kQuiet{2000};

  // A code was read at `now`: true when it is to be shown.
  bool ShouldShow(const std::string& text, Clock::time_point now = Clock::now());
  // The box for the shown text closed at `now`. No scan runs while it is open, so the code
  // counts as in view until then.
  void Closed(Clock::time_point now = Clock::now());

 private:
  std::mutex m_mutex;
  bool m_shownAny = false;
  std::string m_last;
  Clock::time_point m_lastSeen{};
};
