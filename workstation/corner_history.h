#pragma once

#include <opencv2/core/types.hpp>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// Undo and redo of corner changes. Every change the operator makes to the four corners (a whole
// drag, a corner placed with the keys, corners found automatically, a calibration chosen) is
// recorded as one step from the corners before to the corners after.
//
// Whoever changes the corners records the step: Record(before, after). Undo() and Redo() return
// the corners to put in place (and move the step between the two stacks); the caller applies
// them without recording again. UI thread only.
class CCornerHistory {
 public:
  using Corners = std::vector<cv::Point2f>;

  // The oldest steps are dropped beyond `depth`.
  explicit CCornerHistory(std::size_t depth = 100) : m_depth(depth) {}

  // Records one step; a step that changes nothing is ignored. Clears what could be redone.
  void Record(const Corners& before, const Corners& after);
  bool CanUndo() const { return !m_undo.empty(); }
  bool CanRedo() const { return !m_redo.empty(); }
  std::optional<Corners> Undo();
  std::optional<Corners> Redo();
  void Clear();
  // The frame size changed and the corners were scaled: the recorded corners follow.
  void Scale(float sx, float sy);

 private:
  struct SStep {
    Corners before;
    Corners after;
  };
  std::size_t m_depth;
  std::deque<SStep> m_undo;
  std::deque<SStep> m_redo;
};

// What is wrong with a quadrilateral of corners as an outline of the media.
enum class EQuadProblem {
  kNone,
  kCrossed,       // two sides cross each other
  kNotConvex,     // one corner points inwards
  kSideTooShort,  // a side shorter than kMinQuadSide pixels
};

namespace veldrin {

inline constexpr float kMinQuadSide = 8.0f;

// Checks four corners in order P.1 .. P.4; any other count is kNone (there is nothing to warp).
EQuadProblem CheckQuad(const std::vector<cv::Point2f>& corners);

// The one-line warning shown for a problem; empty for kNone.
std::string QuadWarning(EQuadProblem problem);

}  // namespace veldrin
