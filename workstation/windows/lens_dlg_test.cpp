// The lens dialog, and the main window with a lens correction: corrected pictures, calibrations
// that record the lens, the status note and the context menu.

#include "workstation/windows/lens_dlg.h"

#include <QDoubleSpinBox>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>

#include "video/board_views_test_fixture.h"
#include "workstation/lens.h"
#include "workstation/rectification.h"
#include "workstation/windows/board_dlg.h"
#include "workstation/windows/dialog_test_fixture.h"
#include "workstation/windows/lens_controls.h"

namespace veldrin_test {
namespace {

const cv::Size kSize(640, 480);

class LensDlgTest : public VeldrinDlgTest {
 protected:
  // The texts of the context menu opened at `pos` of the dialog.
  static QStringList MenuAt(CVeldrinDlg& dlg, QPoint pos) {
    QStringList items;
    QTimer::singleShot(100, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return;
      for (QAction* a : menu->actions()) items << a->text();
      menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, dlg.mapToGlobal(pos));
    QApplication::sendEvent(&dlg, &event);
    QCoreApplication::processEvents();
    return items;
  }

  static QString LabelText(QWidget& w, const char* name) {
    return w.findChild<QLabel*>(name)->text();
  }
};

TEST_F(LensDlgTest, MeasuresSavesAndRemovesTheCamerasLens) {
  int next = 0;
  bool blank = false;
  CLensDlg dlg("Front", m_dir.string() + "/", [&] {
    if (blank) return cv::Mat(kSize, CV_8UC3, cv::Scalar::all(128));
    return RenderBoardView(next++, kSize, -0.2, 0.05);
  });
  dlg.findChild<QDoubleSpinBox*>("lensSquare")->setValue(20.0);
  auto* save = dlg.findChild<QPushButton*>("lensSave");
  for (int i = 0; i < 4; ++i) dlg.OnCapture();
  EXPECT_EQ(dlg.ViewCount(), 4);
  EXPECT_FALSE(save->isEnabled());
  EXPECT_EQ(LabelText(dlg, "lensRms"), "RMS: -");

  blank = true;
  dlg.OnCapture();
  EXPECT_EQ(dlg.ViewCount(), 4);
  EXPECT_TRUE(LabelText(dlg, "lensStatus").startsWith("No board"));
  blank = false;
  dlg.OnCapture();
  dlg.OnCapture();
  ASSERT_EQ(dlg.ViewCount(), 6);
  EXPECT_TRUE(LabelText(dlg, "lensRms").startsWith("RMS: 0."))
      << LabelText(dlg, "lensRms").toStdString();
  // A good fit, but the views stay away from the picture's top right and bottom right: not saved,
  // and the dialog says what to do.
  EXPECT_FALSE(save->isEnabled());
  EXPECT_TRUE(LabelText(dlg, "lensStatus")
                  .startsWith("The views do not reach the picture's top right and bottom right "
                              "corners"))
      << LabelText(dlg, "lensStatus").toStdString();
  EXPECT_TRUE(LabelText(dlg, "lensStatus").contains("Show the board near the picture's corners"));
  EXPECT_EQ(save->toolTip(), LabelText(dlg, "lensStatus"));
  Screenshot(dlg, "lens-refused");
  dlg.OnSave();
  EXPECT_FALSE(fs::exists(m_dir / "Front.lens"));

  // Views into the four corners of the picture.
  next = 12;
  for (int i = 0; i < 4; ++i) dlg.OnCapture();
  ASSERT_EQ(dlg.ViewCount(), 10);
  EXPECT_TRUE(save->isEnabled()) << LabelText(dlg, "lensStatus").toStdString();
  EXPECT_TRUE(LabelText(dlg, "lensCoverage").startsWith("Picture covered: "));
  EXPECT_FALSE(dlg.findChild<QLabel*>("lensPicture")->pixmap().isNull());
  EXPECT_FALSE(dlg.findChild<QLabel*>("lensCoverageMap")->pixmap().isNull());
  Screenshot(dlg, "lens-dialog");

  dlg.OnSave();
  SLensModel lens;
  std::string error;
  ASSERT_TRUE(veldrin::ReadLensFile(m_dir.string() + "/Front.lens", lens, error)) << error;
  EXPECT_EQ(lens.camera, "Front");
  EXPECT_EQ(lens.size, kSize);
  EXPECT_NEAR(lens.distortion[0], -0.2, 0.03);

  // Another board size: the views so far do not count for it.
  dlg.findChild<QSpinBox*>("lensColumns")->setValue(7);
  EXPECT_EQ(dlg.ViewCount(), 0);

  // Opened again, it tells the lens in use; removing it asks first, naming the camera.
  CLensDlg again("Front", m_dir.string() + "/", [] { return cv::Mat(); });
  EXPECT_TRUE(LabelText(again, "lensActive")
                  .startsWith(QStringLiteral("Lens correction active for this camera: 640 x 480, "
                                             "RMS %1 px, measured ")
                                  .arg(lens.rmsPx, 0, 'f', 3)))
      << LabelText(again, "lensActive").toStdString();
  EXPECT_TRUE(again.findChild<QPushButton*>("lensRemove")->isEnabled());
  again.OnCapture();
  EXPECT_TRUE(LabelText(again, "lensStatus").startsWith("There is no picture"));
  m_boxes->QueueAnswer(IDNO);
  again.OnRemove();
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Texts()[0], "Remove the lens correction of the camera \"Front\"?");
  EXPECT_EQ(m_boxes->Calls()[0].type, MB_YESNO | MB_DEFBUTTON2);
  EXPECT_TRUE(fs::exists(m_dir / "Front.lens"));
  m_boxes->QueueAnswer(IDYES);
  again.OnRemove();
  EXPECT_FALSE(fs::exists(m_dir / "Front.lens"));
  CLensDlg none("Front", m_dir.string() + "/", [] { return cv::Mat(); });
  EXPECT_EQ(LabelText(none, "lensActive"), "No lens correction is active for this camera.");
}

TEST_F(LensDlgTest, MainWindowCorrectsFramesAndRecordsTheLens) {
  StartHost(1000, 750);
  // A calibration placed without lens correction, before the lens was measured.
  const std::vector<cv::Point2f> corners{{100, 80}, {540, 90}, {560, 400}, {90, 410}};
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(m_dir.string() + "/", "Plain", corners));
  SLensModel lens;
  lens.camera = "Still A";
  lens.size = kSize;
  lens.matrix = cv::Matx33d(560, 0, 320, 0, 560, 240, 0, 0, 1);
  lens.distortion = cv::Vec<double, 5>(-0.2, 0.05, 0, 0, 0);
  ASSERT_TRUE(veldrin::WriteLensFile((m_dir / "Still A.lens").string(), lens));
  // The same numbers under another camera's name do not apply to it.
  SLensModel other = lens;
  other.camera = "Elsewhere";
  ASSERT_TRUE(veldrin::WriteLensFile((m_dir / "Still B.lens").string(), other));

  ASSERT_TRUE(Settings().WriteCamera("Still A"));
  auto dlg = Open(m_name);
  ASSERT_FALSE(dlg->IsEnded());
  ASSERT_FALSE(TakePicture().empty());

  // The published picture is the corrected frame rectified with the corners.
  CRectification reference;
  reference.SetLens(std::make_shared<SLensModel>(lens));
  cv::Mat corrected;
  ASSERT_TRUE(reference.CorrectLens(m_still, corrected));
  const std::vector<cv::Point2f> shown = dlg->Corners();
  EXPECT_TRUE(WaitFor([&] {
    const cv::Mat p = TakePicture(1000);
    if (p.empty()) return false;
    cv::Mat diff;
    cv::absdiff(p, IndependentWarp(corrected, shown, p.cols, p.rows), diff);
    return cv::mean(diff)[0] < 1.0;
  }));

  // Saved now, the calibration names the lens; loading the old one says it was made without.
  SaveAs(*dlg, "With lens");
  EXPECT_NE(ReadFileBytes(m_dir / "With lens.clb").find("\"Lens\":\"Still A.lens\""),
            std::string::npos);
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCalibrationComboId);
  combo->setCurrentIndex(combo->findText("Plain"));
  dlg->CalibrationList().OnCalibrationSelected();
  EXPECT_EQ(dlg->StatusText(),
            "Calibration \"Plain\" was placed without lens correction; lens correction (Still "
            "A.lens) is on now.");
  combo->setCurrentIndex(combo->findText("With lens"));
  dlg->CalibrationList().OnCalibrationSelected();
  EXPECT_EQ(dlg->StatusText(), "");

  // The input picture offers "Lens…", the rest of the window does not.
  CImageWindow* input = dlg->InputWindow();
  const QPoint onInput = input->mapTo(dlg.get(), input->rect().center());
  EXPECT_TRUE(MenuAt(*dlg, onInput).contains(QStringLiteral("Lens\u2026")));
  EXPECT_FALSE(MenuAt(*dlg, QPoint(5, 5)).contains(QStringLiteral("Lens\u2026")));

  // The lens removed through the dialog: the calibration in use says so at once.
  m_boxes->QueueAnswer(IDYES);
  QTimer::singleShot(200, [] {
    if (auto* lensDialog = qobject_cast<CLensDlg*>(QApplication::activeModalWidget()))
      lensDialog->OnRemove();
  });
  dlg->LensControls().OnLensDialog();
  EXPECT_FALSE(fs::exists(m_dir / "Still A.lens"));
  EXPECT_EQ(dlg->StatusText(),
            "Calibration \"With lens\" was placed with lens correction (Still A.lens); lens "
            "correction is off now.");
  ASSERT_TRUE(veldrin::WriteLensFile((m_dir / "Still A.lens").string(), lens));
  dlg->LensControls().LoadForCamera();

  // Camera B's lens file belongs to another camera: no correction, and the calibration that was
  // placed with one says so.
  ASSERT_EQ(dlg->SwitchCamera(1), 1);
  combo->setCurrentIndex(combo->findText("With lens"));
  dlg->CalibrationList().OnCalibrationSelected();
  EXPECT_EQ(dlg->StatusText(),
            "Calibration \"With lens\" was placed with lens correction (Still A.lens); lens "
            "correction is off now.");
}

// The operator keeps one printed board: the lens dialog and the accuracy check's question start
// from the one given last to either, also after the tool has been restarted.
TEST_F(LensDlgTest, BothDialogsAskForTheRememberedBoard) {
  StartHost(1000, 750);
  ASSERT_TRUE(Settings().WriteCamera("Still A"));
  auto dlg = Open(m_name);
  ASSERT_FALSE(dlg->IsEnded());
  auto value = [](QWidget* w, const char* name) {
    return w->findChild<QAbstractSpinBox*>(name)->text();
  };

  QStringList seen;
  QTimer::singleShot(200, [&] {
    auto* lens = qobject_cast<CLensDlg*>(QApplication::activeModalWidget());
    if (!lens) return;
    seen << value(lens, "lensColumns") << value(lens, "lensRows") << value(lens, "lensSquare");
    lens->findChild<QSpinBox*>("lensColumns")->setValue(7);
    lens->findChild<QSpinBox*>("lensRows")->setValue(5);
    lens->findChild<QDoubleSpinBox*>("lensSquare")->setValue(30.5);
    Screenshot(*lens, "lens-board");
    lens->reject();
  });
  dlg->LensControls().OnLensDialog();
  EXPECT_EQ(seen, QStringList({"9", "6", "25.00 mm"}));
  EXPECT_EQ(Settings().ReadBoard().columns, 7);

  seen.clear();
  QTimer::singleShot(200, [&] {
    auto* board = qobject_cast<CBoardDlg*>(QApplication::activeModalWidget());
    if (!board) return;
    seen << value(board, "boardCols") << value(board, "boardRows") << value(board, "boardSquareMm");
    board->findChild<QSpinBox*>("boardCols")->setValue(8);
    Screenshot(*board, "accuracy-board");
    board->findChild<QPushButton*>("IDOK")->click();
  });
  dlg->findChild<QPushButton*>(veldrin::kCheckAccuracyButtonId)->click();
  EXPECT_EQ(seen, QStringList({"7", "5", "30.50 mm"}));
  // The message names the board as it was entered: by its inner corners.
  EXPECT_EQ(dlg->StatusText(), "No chessboard of 8 x 5 inner corners found on the media.");

  dlg.reset();
  dlg = Open(m_name);
  seen.clear();
  QTimer::singleShot(200, [&] {
    auto* lens = qobject_cast<CLensDlg*>(QApplication::activeModalWidget());
    if (!lens) return;
    seen << value(lens, "lensColumns") << value(lens, "lensRows") << value(lens, "lensSquare");
    lens->reject();
  });
  dlg->LensControls().OnLensDialog();
  EXPECT_EQ(seen, QStringList({"8", "5", "30.50 mm"}));
}

TEST_F(LensDlgTest, NotOfferedForADepthCamera) {
  StartHost(1000, 500);
  SetCameras("Intel RealSense D435 RGB=" + (m_dir / "a.png").string());
  ASSERT_TRUE(Settings().WriteCamera("Intel RealSense D435 RGB"));
  SLensModel lens;
  lens.camera = "Intel RealSense D435 RGB";
  lens.size = kSize;
  lens.matrix = cv::Matx33d(560, 0, 320, 0, 560, 240, 0, 0, 1);
  ASSERT_TRUE(veldrin::WriteLensFile((m_dir / "Intel RealSense D435 RGB.lens").string(), lens));
  auto dlg = Open(m_name);
  ASSERT_EQ(dlg->CurrentCamera(), 0);
  EXPECT_FALSE(dlg->LensOffered());
  CImageWindow* input = dlg->InputWindow();
  EXPECT_FALSE(MenuAt(*dlg, input->mapTo(dlg.get(), input->rect().center()))
                   .contains(QStringLiteral("Lens\u2026")));
  // Its own lens file is not applied either: the depth mapping relies on the sensor's intrinsics.
  // (This still picture has no depth side, which is all the status line reports.)
  EXPECT_TRUE(dlg->StatusText().isEmpty() || dlg->StatusText().startsWith("Depth camera:"))
      << dlg->StatusText().toStdString();
  const cv::Mat picture = TakePicture();
  ASSERT_FALSE(picture.empty());
  const cv::Mat expected = IndependentWarp(m_still, dlg->Corners(), picture.cols, picture.rows);
  EXPECT_LE(MaxDiff(picture, expected), 8.0);
}

}  // namespace
}  // namespace veldrin_test
