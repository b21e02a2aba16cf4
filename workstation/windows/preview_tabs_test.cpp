// Preview tabs: extra cameras shown beside the main one, each with its own engine and window.
#include "workstation/windows/dialog_test_fixture.h"

namespace veldrin_test {
namespace {

class PreviewTabsTest : public VeldrinDlgTest {
 protected:
  void UseCameras(int count) {
    std::string entries;
    for (int i = 0; i < count; ++i) {
      const fs::path file = m_dir / ("cam" + std::to_string(i) + ".png");
      cv::imwrite(file.string(), MakeStill(640, 480, i));
      entries += (i ? ";" : "") + std::string("Cam") + std::to_string(i) + "=" + file.string();
    }
    SetCameras(entries);
    StartHost(1000, 500);
    ASSERT_TRUE(Settings().WriteCamera("Cam0"));
  }

  static QTabBar* Tabs(CVeldrinDlg& dlg) { return dlg.findChild<QTabBar*>(veldrin::kCameraTabsId); }
  static void Choose(CVeldrinDlg& dlg, int tab) { Tabs(dlg)->setCurrentIndex(tab); }
  static QStringList TabTexts(CVeldrinDlg& dlg) {
    QStringList out;
    for (int i = 0; i < Tabs(dlg)->count(); ++i) out << Tabs(dlg)->tabText(i);
    return out;
  }
  static INFO_CAM_DATA Record(CVeldrinDlg& dlg, int camera) {
    INFO_CAM_DATA r;
    dlg.CameraList()->GetCameraAt(camera, r);
    return r;
  }
  // The window shows the still of camera `seed` (sampled at one pixel of the picture).
  static bool Shows(CImageWindow* window, int seed) {
    const QImage surface = window->GrabSurface();
    if (surface.isNull()) return false;
    const cv::Vec3b expected = MakeStill(640, 480, seed).at<cv::Vec3b>(10, 10);
    const QColor c = surface.pixelColor(10, 10);
    return std::abs(c.blue() - expected[0]) <= 2 && std::abs(c.green() - expected[1]) <= 2 &&
           std::abs(c.red() - expected[2]) <= 2;
  }
};

TEST_F(PreviewTabsTest, WithOneCameraPlusRefusesAndReturnsToMain) {
  UseCameras(1);
  auto dlg = Open(m_name);
  ASSERT_EQ(TabTexts(*dlg), (QStringList{"Main Camera", "+"}));
  EXPECT_FALSE(Tabs(*dlg)->isTabEnabled(1));  // no spare camera
  Choose(*dlg, 1);
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Texts()[0], Text(veldrin::IDS_UNABLE_TO_OPEN_CAMERA));
  EXPECT_EQ(Tabs(*dlg)->currentIndex(), 0);
  EXPECT_EQ(TabTexts(*dlg), (QStringList{"Main Camera", "+"}));
  EXPECT_FALSE(dlg->findChild<QWidget*>(veldrin::kClosePreviewButtonId)->isEnabled());
  EXPECT_TRUE(dlg->InputWindow()->isVisible());
}

TEST_F(PreviewTabsTest, AddSwitchAndCloseTheMiddleOfThree) {
  UseCameras(4);
  auto dlg = Open(m_name);
  for (int i = 1; i <= 3; ++i) Choose(*dlg, i);  // "+" each time
  // Each preview tab names its camera.
  ASSERT_EQ(TabTexts(*dlg), (QStringList{"Main Camera", "Preview Cam 1 (Cam1)",
                                         "Preview Cam 2 (Cam2)", "Preview Cam 3 (Cam3)", "+"}));
  // No camera is left: "+" cannot be chosen.
  EXPECT_FALSE(Tabs(*dlg)->isTabEnabled(4));
  for (int cam = 1; cam <= 3; ++cam) {
    EXPECT_EQ(Record(*dlg, cam).nState, veldrin::kCamStatePreview);
    EXPECT_EQ(Record(*dlg, cam).nTab, cam);
  }
  EXPECT_TRUE(dlg->findChild<QWidget*>(veldrin::kClosePreviewButtonId)->isEnabled());

  // Only the selected tab's window is shown, with its own camera's picture.
  Choose(*dlg, 2);
  CImageWindow* second = Record(*dlg, 2).pWindow;
  EXPECT_TRUE(second->isVisible());
  EXPECT_FALSE(Record(*dlg, 3).pWindow->isVisible());
  EXPECT_FALSE(dlg->InputWindow()->isVisible());
  EXPECT_TRUE(WaitFor([&] { return Shows(second, 2); }));
  Screenshot(*dlg, "preview-tabs");
  EXPECT_EQ(second->geometry(), dlg->InputWindow()->geometry());

  dlg->PreviewTabs().ClosePreviewTab();
  EXPECT_EQ(TabTexts(*dlg),
            (QStringList{"Main Camera", "Preview Cam 1 (Cam1)", "Preview Cam 3 (Cam3)", "+"}));
  EXPECT_TRUE(Tabs(*dlg)->isTabEnabled(3));
  EXPECT_EQ(Record(*dlg, 2).nState, veldrin::kCamStateFree);
  EXPECT_EQ(Record(*dlg, 2).pWindow, nullptr);
  EXPECT_EQ(Record(*dlg, 3).nTab, 2);
  EXPECT_EQ(Tabs(*dlg)->currentIndex(), 0);
  EXPECT_FALSE(dlg->findChild<QWidget*>(veldrin::kClosePreviewButtonId)->isEnabled());

  Choose(*dlg, 2);
  CImageWindow* third = Record(*dlg, 3).pWindow;
  EXPECT_TRUE(third->isVisible());
  EXPECT_TRUE(WaitFor([&] { return Shows(third, 3); }));

  // Previews follow the picture area when the window grows.
  dlg->resize(dlg->width() + 200, dlg->height() + 100);
  QCoreApplication::processEvents();
  EXPECT_EQ(third->geometry(), dlg->InputWindow()->geometry());
}

TEST_F(PreviewTabsTest, CameraInAPreviewCannotBecomeTheMainCamera) {
  UseCameras(2);
  auto dlg = Open(m_name);
  Choose(*dlg, 1);
  ASSERT_EQ(Record(*dlg, 1).nState, veldrin::kCamStatePreview);
  auto* combo = dlg->findChild<QComboBox*>(veldrin::kCameraComboId);
  combo->setCurrentIndex(1);
  emit combo->activated(1);
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Texts()[0], Text(veldrin::IDS_UNABLE_TO_OPEN_CAMERA));
  EXPECT_EQ(dlg->CurrentCamera(), 0);
  EXPECT_EQ(combo->currentIndex(), 0);

  // The main picture keeps publishing while a preview is shown.
  EXPECT_FALSE(TakePicture().empty());
}

}  // namespace
}  // namespace veldrin_test
