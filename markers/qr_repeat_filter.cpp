#include "markers/qr_repeat_filter.h"

bool CQRRepeatFilter::ShouldShow(const std::string& text, Clock::time_point now) {
  std::lock_guard lock(m_mutex);
  const bool show = !m_shownAny || text != m_last || now - m_lastSeen >= kQuiet;
  if (show) {
    m_shownAny = true;
    m_last = text;
  }
  if (text == m_last) m_lastSeen = now;
  return show;
}

void CQRRepeatFilter::Closed(Clock::time_point now) {
  std::lock_guard lock(m_mutex);
  m_lastSeen = now;
}
