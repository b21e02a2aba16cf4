// The main window's sheet tools: "Find sheet" (button and F), "Check accuracy" and the warning
// when the camera has moved since the calibration in use was saved.
#include <QPushButton>
#include <QTest>

#include "markers/camera_reference.h"
#include "video/table_scene.h"
#include "workstation/windows/dialog_test_fixture.h"

namespace veldrin_test {
namespace {

class SheetToolsTest : public VeldrinDlgTest {
 protected:
  void SetUp() override {
    VeldrinDlgTest::SetUp();
    std::ofstream(m_dir / "scene.json")
        << R"({"sheet": {"board": {"cols": 9, "rows": 6, "square_mm": 20}}})";
    ::setenv("VELDRIN_SCENE", (m_dir / "scene.json").c_str(), 1);
    SetCameras("Table=scene:table;Still A=" + (m_dir / "a.png").string());
    StartHost(297, 210);
    ASSERT_TRUE(Settings().WriteCamera("Table"));
  }
  void TearDown() override {
    ::unsetenv("VELDRIN_SCENE");
    VeldrinDlgTest::TearDown();
  }

  std::unique_ptr<CVeldrinDlg> OpenWithFrames() {
    auto dlg = Open(m_name);
    // The tool writes its own defaults into the block as it attaches; the host then says again
    // what it holds. The second picture of the media's shape comes from a frame that has been
    // through everything.
    EXPECT_EQ(m_host->SetMediaSize(210, 297), 1);
    EXPECT_FALSE(TakePictureOfSize(640, 452).empty());
    EXPECT_FALSE(TakePictureOfSize(640, 452).empty());
    return dlg;
  }

  static std::vector<cv::Point2f> SceneCorners() {
    STableSceneParams params;
    std::string error;
    EXPECT_TRUE(veldrin::CurrentTableSceneParams(params, error));
    return CTableScene(params).SheetCorners({640, 480});
  }

  // The last thing the status line reports (the line also shows the host and the camera).
  static QString Status(CVeldrinDlg& dlg) { return dlg.StatusText(); }
};

TEST_F(SheetToolsTest, FindSheetPutsTheCornersOnTheSheetAsOneChange) {
  auto dlg = OpenWithFrames();
  ASSERT_FALSE(dlg->IsEnded());
  int changes = 0;
  QObject::connect(dlg->InputWindow(), &CImageWindow::PointsChanged, [&] { ++changes; });
  dlg->findChild<QPushButton*>(veldrin::kFindSheetButtonId)->click();
  EXPECT_EQ(changes, 1);
  const auto corners = dlg->Corners();
  const auto truth = SceneCorners();
  ASSERT_EQ(corners.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_LE(cv::norm(corners[i] - truth[i]), 0.5) << i;
  EXPECT_EQ(dlg->findChild<QLabel*>(veldrin::kPoint1LabelId)->text(),
            QString::asprintf("P.1 = (%.1f, %.1f)", corners[0].x, corners[0].y));
  EXPECT_TRUE(dlg->findChild<QWidget*>(veldrin::kSaveCalibrationButtonId)->isEnabled());

  // F in the input picture does the same; elsewhere it is only a letter.
  dlg->InputWindow()->SetPoints({{10, 10}, {100, 10}, {100, 100}, {10, 100}});
  dlg->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
  dlg->findChild<QWidget*>(veldrin::kCameraComboId)->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_F);
  EXPECT_EQ(dlg->Corners()[0], cv::Point2f(10, 10));
  dlg->InputWindow()->setFocus();
  QTest::keyClick(dlg->InputWindow(), Qt::Key_F);
  EXPECT_LE(cv::norm(dlg->Corners()[0] - truth[0]), 0.5);
  Screenshot(*dlg, "sheet-found");
  dlg->InputWindow()->SelectCorner(1);
  Screenshot(*dlg, "corner-magnified");
}

TEST_F(SheetToolsTest, NoSheetChangesNothingAndSaysSo) {
  ASSERT_TRUE(Settings().WriteCamera("Still A"));
  auto dlg = OpenWithFrames();
  const auto before = dlg->Corners();
  dlg->SheetToolsControls().OnFindSheet();
  EXPECT_EQ(dlg->Corners(), before);
  EXPECT_EQ(Status(*dlg), "No sheet found in the picture: the corners are unchanged.");
}

TEST_F(SheetToolsTest, CheckAccuracyMeasuresTheBoardAndHoldsTheDeviations) {
  auto dlg = OpenWithFrames();
  dlg->SheetToolsControls().OnFindSheet();
  // The output picture follows the new corners before it is measured.
  ASSERT_TRUE(WaitFor([&] { return !TakePicture().empty(); }));
  dlg->SheetToolsControls().OnCheckAccuracy({9, 6, 20});
  // A result: information, not a problem.
  EXPECT_EQ(Status(*dlg), "");
  const QString status = QString::fromStdString(dlg->Status().Notice());
  ASSERT_TRUE(status.startsWith("Accuracy: scale error ")) << status.toStdString();
  const double rms = status.section("RMS ", 1).section(" mm", 0, 0).toDouble();
  EXPECT_GT(rms, 0);
  EXPECT_LT(rms, 0.5) << status.toStdString();
  // Frames keep coming, but the deviation picture (faded, with red arrows) stays for a while.
  ASSERT_FALSE(TakePicture().empty());
  ASSERT_FALSE(TakePicture().empty());
  const QImage shown = dlg->OutputWindow()->GrabSurface();
  int red = 0;
  for (int y = 0; y < 300; ++y)
    for (int x = 0; x < 640; ++x) red += shown.pixelColor(x, y) == QColor(230, 0, 0);
  EXPECT_GT(red, 0);

  Screenshot(*dlg, "accuracy-checked");
  dlg->SheetToolsControls().OnCheckAccuracy({12, 3, 20});
  EXPECT_EQ(Status(*dlg), "No chessboard of 11 x 2 inner corners found on the media.");

  // A result no longer holds once the corners have moved.
  dlg->SheetToolsControls().OnCheckAccuracy({9, 6, 20});
  ASSERT_NE(dlg->Status().Notice(), "");
  const std::vector<cv::Point2f> corners = dlg->Corners();
  dlg->CalibrationList().ApplyCorners(
      {corners[0] + cv::Point2f(2, 0), corners[1], corners[2], corners[3]});
  EXPECT_TRUE(WaitFor([&] { return dlg->Status().Notice().empty(); }, 1000));
}

TEST_F(SheetToolsTest, AMovedCameraIsReportedForTheCalibrationInUse) {
  auto dlg = OpenWithFrames();
  dlg->SheetToolsControls().OnFindSheet();
  SaveAs(*dlg, "Demo sheet");
  EXPECT_TRUE(fs::exists(m_dir / "Demo sheet.ref.png"));

  STableSceneParams params;
  std::string error;
  EXPECT_TRUE(veldrin::CurrentTableSceneParams(params, error));
  cv::Mat still, rolled;
  CTableScene(params).Render({640, 480}, 99, still);
  params.cameraRollDeg += 0.5;
  CTableScene(params).Render({640, 480}, 99, rolled);
  const QString moved = "The camera has moved since \"Demo sheet\" was saved: check the corners.";
  dlg->SheetTools().CheckCamera(still);
  EXPECT_NE(Status(*dlg), moved);
  dlg->SheetTools().CheckCamera(rolled);
  EXPECT_EQ(Status(*dlg), moved);
  Screenshot(*dlg, "camera-moved");
  dlg->SheetTools().CheckCamera(still);
  EXPECT_EQ(Status(*dlg), "");

  // "Default" watches nothing; choosing the calibration again watches it again.
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId);
  combo->setCurrentIndex(0);
  dlg->CalibrationList().OnCalibrationSelected();
  dlg->SheetTools().CheckCamera(rolled);
  EXPECT_EQ(Status(*dlg), "");
  combo->setCurrentIndex(1);
  dlg->CalibrationList().OnCalibrationSelected();
  dlg->SheetTools().CheckCamera(rolled);
  EXPECT_EQ(Status(*dlg), moved);

  // The live camera, unmoved, clears it on the next check (every two seconds).
  EXPECT_TRUE(WaitFor([&] { return Status(*dlg).isEmpty(); }, 5000));
  // Removing the calibration removes its reference.
  m_boxes->QueueAnswer(IDYES);
  dlg->CalibrationList().OnRemoveCalibration();
  EXPECT_FALSE(fs::exists(m_dir / "Demo sheet.clb"));
  EXPECT_FALSE(fs::exists(m_dir / "Demo sheet.ref.png"));
}

// A reference that cannot be written is said with its file; the calibration itself is kept.
TEST_F(SheetToolsTest, AReferenceThatCannotBeWrittenIsSaidWithItsFile) {
  auto dlg = OpenWithFrames();
  dlg->SheetToolsControls().OnFindSheet();
  fs::create_directory(m_dir / "Blocked.ref.png");
  SaveAs(*dlg, "Blocked");
  EXPECT_TRUE(fs::exists(m_dir / "Blocked.clb"));
  EXPECT_TRUE(Status(*dlg).contains("could not be saved") &&
              Status(*dlg).contains("Blocked.ref.png"))
      << Status(*dlg).toStdString();
}

}  // namespace
}  // namespace veldrin_test
