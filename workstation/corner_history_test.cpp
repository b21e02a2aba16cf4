#include "workstation/corner_history.h"

#include <gtest/gtest.h>

using Corners = CCornerHistory::Corners;

namespace {

Corners Square(float x) { return {{x, 0}, {x + 100, 0}, {x + 100, 100}, {x, 100}}; }

TEST(CornerHistory, UndoesAndRedoesStepsInOrder) {
  CCornerHistory history;
  EXPECT_FALSE(history.Undo());
  history.Record(Square(0), Square(0));  // no change: no step
  EXPECT_FALSE(history.CanUndo());
  for (int i = 0; i < 25; ++i) history.Record(Square(float(i)), Square(float(i + 1)));
  for (int i = 24; i >= 0; --i) ASSERT_EQ(history.Undo(), Square(float(i))) << i;
  EXPECT_FALSE(history.Undo());
  EXPECT_EQ(history.Redo(), Square(1));
  EXPECT_EQ(history.Redo(), Square(2));
  // A new change after undoing forgets what could be redone.
  history.Undo();
  history.Record(Square(1), Square(50));
  EXPECT_FALSE(history.CanRedo());
  EXPECT_EQ(history.Undo(), Square(1));
}

TEST(CornerHistory, DropsTheOldestBeyondItsDepthAndFollowsScaling) {
  CCornerHistory history(20);
  for (int i = 0; i < 30; ++i) history.Record(Square(float(i)), Square(float(i + 1)));
  int steps = 0;
  Corners last;
  while (auto c = history.Undo()) {
    last = *c;
    ++steps;
  }
  EXPECT_EQ(steps, 20);
  EXPECT_EQ(last, Square(10));
  history.Scale(2, 0.5f);
  EXPECT_EQ(history.Redo(), (Corners{{22, 0}, {222, 0}, {222, 50}, {22, 50}}));
}

TEST(QuadCheck, TellsCrossedConcaveAndTinyOutlinesFromGoodOnes) {
  EXPECT_EQ(veldrin::CheckQuad(Square(0)), EQuadProblem::kNone);
  // Mirrored (P.1 right of P.2) is still a convex outline.
  EXPECT_EQ(veldrin::CheckQuad({{100, 0}, {0, 0}, {0, 100}, {100, 100}}), EQuadProblem::kNone);
  EXPECT_EQ(veldrin::CheckQuad({{0, 0}, {100, 100}, {100, 0}, {0, 100}}), EQuadProblem::kCrossed);
  EXPECT_EQ(veldrin::CheckQuad({{0, 0}, {100, 0}, {30, 30}, {0, 100}}), EQuadProblem::kNotConvex);
  EXPECT_EQ(veldrin::CheckQuad({{0, 0}, {100, 0}, {100, 100}, {50, 0}}), EQuadProblem::kNotConvex);
  EXPECT_EQ(veldrin::CheckQuad({{0, 0}, {7.9f, 0}, {7.9f, 100}, {0, 100}}),
            EQuadProblem::kSideTooShort);
  EXPECT_EQ(veldrin::CheckQuad({{0, 0}, {8, 0}, {8, 8}, {0, 8}}), EQuadProblem::kNone);
  EXPECT_EQ(veldrin::CheckQuad({{0, 0}, {0, 0}, {100, 100}, {0, 100}}),
            EQuadProblem::kSideTooShort);
  EXPECT_EQ(veldrin::CheckQuad({{0, 0}, {1, 1}}), EQuadProblem::kNone);
  EXPECT_FALSE(veldrin::QuadWarning(EQuadProblem::kCrossed).empty());
  EXPECT_TRUE(veldrin::QuadWarning(EQuadProblem::kNone).empty());
}

}  // namespace
