#include "workstation/corner_history.h"

#include <cmath>

void CCornerHistory::Record(const Corners& before, const Corners& after) {
  if (before == after || m_depth == 0) return;
  m_undo.push_back({before, after});
  while (m_undo.size() > m_depth) m_undo.pop_front();
  m_redo.clear();
}

std::optional<CCornerHistory::Corners> CCornerHistory::Undo() {
  if (m_undo.empty()) return std::nullopt;
  SStep step = std::move(m_undo.back());
  m_undo.pop_back();
  Corners corners = step.before;
  m_redo.push_back(std::move(step));
  return corners;
}

std::optional<CCornerHistory::Corners> CCornerHistory::Redo() {
  if (m_redo.empty()) return std::nullopt;
  SStep step = std::move(m_redo.back());
  m_redo.pop_back();
  Corners corners = step.after;
  m_undo.push_back(std::move(step));
  return corners;
}

void CCornerHistory::Clear() {
  m_undo.clear();
  m_redo.clear();
}

void CCornerHistory::Scale(float sx, float sy) {
  for (auto* stack : {&m_undo, &m_redo}) {
    for (SStep& step : *stack) {
      for (Corners* corners : {&step.before, &step.after}) {
        for (cv::Point2f& p : *corners) p = cv::Point2f(p.x * sx, p.y * sy);
      }
    }
  }
}

namespace {

double Cross(cv::Point2d o, cv::Point2d a, cv::Point2d b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Proper crossing of the segments ab and cd (touching at an end does not count).
bool SegmentsCross(cv::Point2d a, cv::Point2d b, cv::Point2d c, cv::Point2d d) {
  const double d1 = Cross(c, d, a);
  const double d2 = Cross(c, d, b);
  const double d3 = Cross(a, b, c);
  const double d4 = Cross(a, b, d);
  return ((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0));
}

}  // namespace

EQuadProblem veldrin::CheckQuad(const std::vector<cv::Point2f>& corners) {
  if (corners.size() != 4) return EQuadProblem::kNone;
  cv::Point2d p[4];
  for (int i = 0; i < 4; ++i) p[i] = cv::Point2d(corners[i].x, corners[i].y);
  for (int i = 0; i < 4; ++i) {
    const cv::Point2d side = p[(i + 1) % 4] - p[i];
    if (!(std::hypot(side.x, side.y) >= veldrin::kMinQuadSide)) return EQuadProblem::kSideTooShort;
  }
  if (SegmentsCross(p[0], p[1], p[2], p[3]) || SegmentsCross(p[1], p[2], p[3], p[0]))
    return EQuadProblem::kCrossed;
  // Convex: the turn at every corner has the same sign (either orientation; a mirrored outline
  // is the operator's choice).
  int positive = 0;
  int negative = 0;
  for (int i = 0; i < 4; ++i) {
    const double turn = Cross(p[i], p[(i + 1) % 4], p[(i + 2) % 4]);
    if (turn > 0) ++positive;
    if (turn < 0) ++negative;
  }
  if (positive != 4 && negative != 4) return EQuadProblem::kNotConvex;
  return EQuadProblem::kNone;
}

std::string veldrin::QuadWarning(EQuadProblem problem) {
  switch (problem) {
    case EQuadProblem::kNone:
      return {};
    case EQuadProblem::kCrossed:
      return "The outline crosses itself: check the order of the corners.";
    case EQuadProblem::kNotConvex:
      return "The outline is not convex: a corner points inwards.";
    case EQuadProblem::kSideTooShort:
      return "A side of the outline is shorter than 8 pixels.";
  }
  return {};
}
