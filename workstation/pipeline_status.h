#pragma once

#include <array>
#include <mutex>
#include <string>

// What the status line says about the colour pipeline: one text per kind of problem, each set
// while the problem lasts (or, for frame failures, once) and cleared when it is over. Plain C++
// so the pipeline and its tests need no window; the main window shows Text().
//
// Threads: written from capture threads and the UI thread, read by the UI thread; m_mutex
// guards every member.
class CPipelineStatus {
 public:
  enum EItem {
    kSettings,  // a stored setting was unusable and a default was taken
    kFrame,     // a frame could not be processed (reported once)
    kPublish,   // the picture cannot be written to the host's folder
    kItemCount
  };

  // Returns true when the text changed (the status line then needs redrawing).
  bool Set(EItem item, const std::string& text);
  bool Clear(EItem item) { return Set(item, std::string()); }
  std::string Get(EItem item) const;

  // The texts that are set, in item order, separated by "  |  ".
  std::string Text() const;

 private:
  mutable std::mutex m_mutex;
  std::array<std::string, kItemCount> m_texts;
};
