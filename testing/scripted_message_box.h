#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"

namespace veldrin {

// A message-box service for tests: records every box, answers from a script and can hold
// boxes open until the test releases them (to exercise code that is waiting on a box).
// Usage: install with CScopedMessageBoxService, drive the code under test from any threads,
// then inspect Calls(). Every member is guarded by m_mutex; waits use m_changed.
class CScriptedMessageBox : public CMessageBoxService {
 public:
  struct SCall {
    std::string text;
    unsigned type = 0;
    // The kernel's id: unlike std::thread::id, not handed on as soon as a thread ends.
    pid_t thread = 0;
  };

  CScriptedMessageBox() = default;
  CScriptedMessageBox(const CScriptedMessageBox&) = delete;
  CScriptedMessageBox& operator=(const CScriptedMessageBox&) = delete;

  // Lets every held box go and waits until none is open, so no caller is left inside a dead
  // object.
  ~CScriptedMessageBox() override {
    std::unique_lock lock(m_mutex);
    m_hold = false;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_open == 0; });
  }

  int Show(const std::string& text, unsigned type) override {
    std::unique_lock lock(m_mutex);
    m_calls.push_back({text, type, gettid()});
    int answer = DefaultAnswer(type);
    if (!m_answers.empty()) {
      answer = m_answers.front();
      m_answers.pop_front();
    }
    const std::size_t ticket = m_tickets++;
    ++m_open;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return !m_hold || ticket < m_released; });
    --m_open;
    m_changed.notify_all();
    return answer;
  }

  // Answers for the next boxes, in order; once used up, boxes get DefaultAnswer.
  void QueueAnswer(int answer) {
    std::lock_guard lock(m_mutex);
    m_answers.push_back(answer);
  }

  // While held, each box stays open until ReleaseOne reaches it; clearing the hold closes all.
  void SetHold(bool hold) {
    std::lock_guard lock(m_mutex);
    m_hold = hold;
    m_released = m_tickets;  // boxes shown before the hold was set are not held
    m_changed.notify_all();
  }

  // Closes every box held so far; later boxes are held as before.
  void CloseAll() override {
    std::lock_guard lock(m_mutex);
    m_released = m_tickets;
    m_changed.notify_all();
  }

  // Closes the oldest box still held (or lets the next one through at once).
  void ReleaseOne() {
    std::lock_guard lock(m_mutex);
    ++m_released;
    m_changed.notify_all();
  }

  bool WaitForCalls(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_calls.size() >= count; });
  }

  bool WaitForOpen(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_open == count; });
  }

  std::vector<SCall> Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }

  std::vector<std::string> Texts() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> texts;
    for (const SCall& call : m_calls) texts.push_back(call.text);
    return texts;
  }

  std::size_t OpenCount() const {
    std::lock_guard lock(m_mutex);
    return m_open;
  }

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<SCall> m_calls;
  std::deque<int> m_answers;
  bool m_hold = false;
  std::size_t m_tickets = 0;   // boxes shown so far
  std::size_t m_released = 0;  // boxes with a ticket below this may close
  std::size_t m_open = 0;
};

}  // namespace veldrin
