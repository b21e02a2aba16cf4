// The main window against real shared memory, virtual cameras and a scripted message box.
#include "workstation/veldrin_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "app/shared_status_block.h"
#include "display/image_window.h"
#include "platform/scripted_message_box.h"
#include "resources/string_table.h"
#include "workstation/calibration_store.h"
#include "workstation/camera_configuration_dlg.h"
#include "workstation/camera_list.h"
#include "workstation/camera_settings.h"

namespace fs = std::filesystem;
using veldrin::CScriptedMessageBox;

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// Reads a published picture: 24-bit, positive height, first stored row is the top row.
cv::Mat ReadPublished(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return {};
  auto u32 = [&](size_t at) {
    return static_cast<int>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                            bytes[at + 3] << 24);
  };
  const int width = u32(18);
  const int height = u32(22);
  const int stride = (width * 3 + 3) / 4 * 4;
  if (width <= 0 || height <= 0 || bytes.size() < 54 + static_cast<size_t>(stride) * height)
    return {};
  cv::Mat picture(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    std::memcpy(picture.ptr(y), bytes.data() + 54 + static_cast<size_t>(y) * stride, width * 3);
  return picture;
}

cv::Mat IndependentWarp(const cv::Mat& frame, const std::vector<cv::Point2f>& corners, int w,
                        int h) {
  const std::vector<cv::Point2f> dst{{0, 0}, {float(w), 0}, {float(w), float(h)}, {0, float(h)}};
  cv::Mat m = cv::getPerspectiveTransform(corners, dst, cv::DECOMP_LU);
  m.convertTo(m, CV_32F);
  cv::Mat out;
  cv::warpPerspective(frame, out, m, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
  return out;
}

double MaxDiff(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return 1e9;
  double worst = 0;
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  cv::minMaxLoc(diff.reshape(1), nullptr, &worst);
  return worst;
}

class VeldrinDlgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char arg0[] = "veldrin_dlg_test";
    static char* argv[] = {arg0, nullptr};
    if (!QApplication::instance()) new QApplication(argc, argv);
  }

  void SetUp() override {
    static int counter = 0;
    const char* base = std::getenv("VELDRIN_TEST_TMP");
    m_dir = fs::path(base ? base : "/tmp") /
            ("dlg-" + std::to_string(::getpid()) + "-" + std::to_string(counter));
    m_name = "veldrin-dlg-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
    m_still = MakeStill(640, 480, 0);
    cv::imwrite((m_dir / "a.png").string(), m_still);
    cv::imwrite((m_dir / "b.png").string(), MakeStill(640, 480, 1));
    SetCameras("Still A=" + (m_dir / "a.png").string() + ";Still B=" +
               (m_dir / "b.png").string());
    m_boxes = std::make_shared<CScriptedMessageBox>();
    m_scope = std::make_unique<veldrin::CScopedMessageBoxService>(m_boxes);
  }

  void TearDown() override {
    m_scope.reset();
    m_host.reset();
    ::unsetenv("VELDRIN_CAMERAS");
    fs::remove_all(m_dir);
  }

  static cv::Mat MakeStill(int w, int h, int seed) {
    cv::Mat img(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        img.at<cv::Vec3b>(y, x) = cv::Vec3b((x + seed * 40) % 256, y % 256, (x * y / 64) % 256);
    cv::circle(img, {w / 2, h / 2}, h / 5, {0, 0, 255}, -1);
    return img;
  }

  static void SetCameras(const std::string& spec) { ::setenv("VELDRIN_CAMERAS", spec.c_str(), 1); }

  void StartHost(int widthMm, int heightMm) {
    m_host = std::make_unique<CSharedStatusBlock>(m_name, 1);
    ASSERT_TRUE(m_host->IsOpen());
    m_host->SetFolder(m_dir.string() + "/");
    m_host->SetMediaSize(heightMm, widthMm);
  }

  CCameraSettings Settings() const {
    return CCameraSettings(m_dir.string() + "/", m_name);
  }

  std::unique_ptr<CVeldrinDlg> Open(const std::string& name) {
    auto dlg = std::make_unique<CVeldrinDlg>(name);
    dlg->OnInitDialog();
    if (!dlg->IsEnded()) dlg->show();
    return dlg;
  }

  // The host takes the waiting picture (if any) and returns it.
  cv::Mat TakePicture(int ms = 5000) {
    if (!WaitFor([&] { return m_host->IsImageReady() != 0; }, ms)) return {};
    cv::Mat picture = ReadPublished(m_host->GetImagePath());
    m_host->AcknowledgeImage();
    return picture;
  }

  cv::Mat TakePictureOfSize(int w, int h) {
    for (int i = 0; i < 40; ++i) {
      cv::Mat p = TakePicture();
      if (p.empty()) return p;
      if (p.cols == w && p.rows == h) return p;
    }
    return {};
  }

  // Where a picture pixel of the (640 x 480) camera picture lies in the window.
  static QPoint WindowPos(CImageWindow* window, cv::Point2f picturePoint) {
    const auto place = veldrin::PlaceImage(window->width(), window->height(), 640, 480);
    if (!place) return {};
    return QPoint(static_cast<int>(picturePoint.x / place->scale) + place->xOffset,
                  static_cast<int>(picturePoint.y / place->scale));
  }

  static void SendMouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) {
    const Qt::MouseButton button =
        type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), button, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(w, &event);
  }

  fs::path m_dir;
  std::string m_name;
  cv::Mat m_still;
  std::unique_ptr<CSharedStatusBlock> m_host;
  std::shared_ptr<CScriptedMessageBox> m_boxes;
  std::unique_ptr<veldrin::CScopedMessageBoxService> m_scope;
};

const std::string& Text(int id) { return veldrin::LoadStringResource(id); }

TEST_F(VeldrinDlgTest, WithoutArgumentOrHostItRefusesAndAsksNothingElseUseful) {
  m_boxes->QueueAnswer(IDNO);
  auto dlg = Open("");
  EXPECT_TRUE(dlg->windowTitle().isEmpty());
  const auto texts = m_boxes->Texts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0], Text(veldrin::IDS_CONNECTION_FAILED));
  EXPECT_EQ(texts[1], Text(veldrin::IDS_PREFERRED_CAMERA_UNAVAILABLE));
  EXPECT_EQ(texts[2], Text(veldrin::IDS_UNABLE_TO_OPEN_CAMERA));
  EXPECT_TRUE(dlg->IsEnded());
  EXPECT_EQ(dlg->EndResult(), -1);
  EXPECT_EQ(dlg->CurrentCamera(), -1);
}

TEST_F(VeldrinDlgTest, NoCameraShowsTheThreeMessagesAndEnds) {
  StartHost(1000, 500);
  SetCameras("");
  m_boxes->QueueAnswer(IDYES);
  auto dlg = Open(m_name);
  const auto texts = m_boxes->Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], Text(veldrin::IDS_CAMERA_NOT_FOUND));
  EXPECT_EQ(texts[1], Text(veldrin::IDS_PREFERRED_CAMERA_UNAVAILABLE));
  EXPECT_EQ(texts[2], Text(veldrin::IDS_UNABLE_TO_OPEN_CAMERA));
  EXPECT_EQ(dlg->EndResult(), -1);
  dlg.reset();
  EXPECT_EQ(Settings().ReadCamera(), "");  // no camera was open: nothing saved
}

TEST_F(VeldrinDlgTest, PreferredCameraIsFoundByNameWithoutAsking) {
  StartHost(1000, 500);
  Settings().WriteCamera("Still B");
  auto dlg = Open(m_name);
  EXPECT_TRUE(m_boxes->Texts().empty());
  EXPECT_FALSE(dlg->IsEnded());
  EXPECT_EQ(dlg->CurrentCamera(), 1);
  EXPECT_EQ(dlg->windowTitle().toStdString(), m_name);
  auto* combo = dlg->findChild<QComboBox*>("1010");
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->currentText().toStdString(), "Cam 1 (Still B) ()");
  INFO_CAM_DATA record;
  ASSERT_TRUE(dlg->CameraList()->GetCameraAt(1, record));
  EXPECT_EQ(record.nState, CAM_STATE_MAIN);
  EXPECT_EQ(record.nTab, 0);
}

TEST_F(VeldrinDlgTest, MissingPreferredCameraAsksAndTakesTheFirstFreeOnYes) {
  StartHost(1000, 500);
  Settings().WriteCamera("Gone");
  m_boxes->QueueAnswer(IDYES);
  auto dlg = Open(m_name);
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Calls()[0].type, MB_YESNO);
  EXPECT_EQ(dlg->CurrentCamera(), 0);
  EXPECT_FALSE(dlg->IsEnded());
}

TEST_F(VeldrinDlgTest, MissingPreferredCameraWithNoEndsWithoutSavingSettings) {
  StartHost(1000, 500);
  Settings().WriteCamera("Gone");
  m_boxes->QueueAnswer(IDNO);
  auto dlg = Open(m_name);
  ASSERT_EQ(m_boxes->Texts().size(), 2u);
  EXPECT_EQ(m_boxes->Texts()[1], Text(veldrin::IDS_UNABLE_TO_OPEN_CAMERA));
  EXPECT_EQ(dlg->EndResult(), -1);
  dlg.reset();
  EXPECT_EQ(Settings().ReadCamera(), "Gone");
}

TEST_F(VeldrinDlgTest, CalibIndexBeyondTheListSelectsNothing) {
  StartHost(1000, 500);
  Settings().WriteCamera("Still A");
  Settings().WriteCalibIndex(3);
  ASSERT_TRUE(CCalibrationStore::WriteCalibration(
      m_dir.string() + "/", "Only", {{10, 10}, {600, 10}, {600, 400}, {10, 400}}));
  auto dlg = Open(m_name);
  auto* combo = dlg->findChild<QComboBox*>("1004");
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->currentIndex(), -1);
  EXPECT_EQ(dlg->Corners()[0], cv::Point2f(160, 120));
}

TEST_F(VeldrinDlgTest, PublishedPictureIsTheWarpOfTheCameraPicture) {
  StartHost(1000, 500);
  Settings().WriteCamera("Still A");
  auto dlg = Open(m_name);
  m_host->SetMediaSize(500, 1000);  // the tool wrote its own values when it attached
  const cv::Mat picture = TakePictureOfSize(640, 320);
  ASSERT_FALSE(picture.empty());
  EXPECT_LE(MaxDiff(picture, IndependentWarp(m_still, dlg->Corners(), 640, 320)), 1.0);
  EXPECT_TRUE(WaitFor([&] {
    return dlg->findChild<QLabel*>("1007")->text().toStdString() == "Media Width: 1000 mm";
  }));
  EXPECT_EQ(dlg->findChild<QLabel*>("1015")->text().toStdString(), "Media Height: 500 mm");

  m_host->SetMediaSize(1000, 500);  // portrait
  EXPECT_FALSE(TakePictureOfSize(240, 480).empty());
}

TEST_F(VeldrinDlgTest, HostExitEndsTheToolAndSettingsAreWritten) {
  StartHost(1000, 500);
  Settings().WriteCamera("Still B");
  auto dlg = Open(m_name);
  m_host.reset();
  ASSERT_TRUE(WaitFor([&] { return dlg->IsEnded(); }));
  EXPECT_EQ(dlg->EndResult(), -1);
  dlg.reset();
  EXPECT_EQ(Settings().ReadCamera(), "Still B");
  EXPECT_EQ(Settings().ReadCalibIndex(), 0);
}

TEST_F(VeldrinDlgTest, DraggingACornerMovesItAndChangesThePublishedPicture) {
  StartHost(1000, 500);
  Settings().WriteCamera("Still A");
  auto dlg = Open(m_name);
  dlg->resize(1200, 700);
  m_host->SetMediaSize(500, 1000);
  ASSERT_FALSE(TakePictureOfSize(640, 320).empty());
  CImageWindow* input = dlg->InputWindow();
  ASSERT_TRUE(WaitFor([&] { return !input->GrabSurface().isNull(); }));
  QCoreApplication::processEvents();

  const QPoint from = WindowPos(input, {160, 120});
  const QPoint to = WindowPos(input, {100, 60});
  SendMouse(input, QEvent::MouseMove, from, Qt::NoButton);
  ASSERT_EQ(input->GetSelectedPoint(), 0);
  SendMouse(input, QEvent::MouseButtonPress, from, Qt::LeftButton);
  SendMouse(input, QEvent::MouseMove, to, Qt::LeftButton);
  SendMouse(input, QEvent::MouseButtonRelease, to, Qt::NoButton);

  const cv::Point2f moved = dlg->Corners()[0];
  EXPECT_NEAR(moved.x, 100, 3);
  EXPECT_NEAR(moved.y, 60, 3);
  EXPECT_EQ(dlg->findChild<QLabel*>("1005")->text().toStdString(),
            "P.1 = (" + std::to_string(int(moved.x)) + ", " + std::to_string(int(moved.y)) + ")");
  EXPECT_TRUE(dlg->findChild<QWidget*>("20458")->isEnabled());

  // Pictures in flight may predate the drag; the warp with the new corners must arrive.
  const cv::Mat expected = IndependentWarp(m_still, dlg->Corners(), 640, 320);
  EXPECT_TRUE(WaitFor([&] {
    const cv::Mat p = TakePicture(1000);
    return !p.empty() && MaxDiff(p, expected) <= 1.0;
  }));
}

TEST_F(VeldrinDlgTest, SnapshotModeFreezesPicturesAndPublishing) {
  StartHost(1000, 500);
  Settings().WriteCamera("Still A");
  auto dlg = Open(m_name);
  ASSERT_FALSE(TakePicture().empty());
  auto* snapshot = dlg->findChild<QCheckBox*>("1011");
  snapshot->click();
  ASSERT_TRUE(snapshot->isChecked());
  TakePicture(300);  // one picture may have been waiting already
  EXPECT_TRUE(TakePicture(600).empty());

  // Corners cannot be dragged while frozen.
  CImageWindow* input = dlg->InputWindow();
  const QPoint from = WindowPos(input, {160, 120});
  SendMouse(input, QEvent::MouseMove, from, Qt::NoButton);
  EXPECT_EQ(input->GetSelectedPoint(), -1);

  snapshot->click();
  EXPECT_FALSE(TakePicture().empty());
}

TEST_F(VeldrinDlgTest, CameraConfigurationChangesCaptureSizeAndWritesSettings) {
  StartHost(1000, 500);
  Settings().WriteCamera("Still A");
  auto dlg = Open(m_name);
  QTimer::singleShot(200, [] {
    auto* config = qobject_cast<CCameraConfiguraionDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(config, nullptr);
    auto* resolutions = config->findChild<QComboBox*>("1024");
    const int i = resolutions->findText("1280x720");
    ASSERT_GE(i, 0);
    resolutions->setCurrentIndex(i);
    config->findChild<QComboBox*>("1025")->setCurrentIndex(2);
    config->accept();
  });
  dlg->OnCameraConfiguration();
  EXPECT_TRUE(dlg->findChild<QWidget*>("1022")->isVisible());
  EXPECT_EQ(dlg->FrameSize(), QSize(1280, 720));
  EXPECT_EQ(dlg->FrameDivisor(), 2);
  EXPECT_EQ(Settings().ReadResX(), 1280);
  EXPECT_EQ(Settings().ReadResY(), 720);
  EXPECT_EQ(Settings().ReadFrameDivisor(), 2);
  EXPECT_TRUE(WaitFor([&] { return dlg->LastColorSize() == QSize(1280, 720); }));
}

TEST_F(VeldrinDlgTest, BusyCameraIsRefusedFromTheCombo) {
  StartHost(1000, 500);
  Settings().WriteCamera("Still A");
  auto dlg = Open(m_name);
  auto* combo = dlg->findChild<QComboBox*>("1010");
  combo->setCurrentIndex(0);
  emit combo->activated(0);  // the main camera itself
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Texts()[0], Text(veldrin::IDS_UNABLE_TO_OPEN_CAMERA));
  combo->setCurrentIndex(1);
  emit combo->activated(1);
  EXPECT_EQ(dlg->CurrentCamera(), 1);
  EXPECT_EQ(combo->currentIndex(), 1);
  EXPECT_EQ(dlg->CameraList()->GetState(0), CAM_STATE_FREE);
}

}  // namespace
