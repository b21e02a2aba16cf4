#include "workstation/pipeline_status.h"

bool CPipelineStatus::Set(EItem item, const std::string& text) {
  std::lock_guard lock(m_mutex);
  if (m_texts[item] == text) return false;
  m_texts[item] = text;
  return true;
}

std::string CPipelineStatus::Get(EItem item) const {
  std::lock_guard lock(m_mutex);
  return m_texts[item];
}

std::string CPipelineStatus::Text() const {
  std::lock_guard lock(m_mutex);
  std::string text;
  for (const std::string& t : m_texts) {
    if (t.empty()) continue;
    if (!text.empty()) text += "  |  ";
    text += t;
  }
  return text;
}
