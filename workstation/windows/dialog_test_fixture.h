#pragma once
// Shared fixture of the main-window tests: a host-created status block in a temporary folder,
// still-picture virtual cameras and a scripted message box.
#include "workstation/windows/veldrin_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "display/image_window.h"
#include "hostlink/shared_status_block.h"
#include "resources/string_table.h"
#include "testing/qt_app.h"
#include "testing/scratch_dir.h"
#include "testing/scripted_message_box.h"
#include "testing/test_files.h"
#include "testing/waiting.h"
#include "workstation/calibration_store.h"
#include "workstation/camera_list.h"
#include "workstation/camera_settings.h"
#include "workstation/windows/add_calibration_dlg.h"
#include "workstation/windows/calibration_list.h"
#include "workstation/windows/camera_configuration_dlg.h"
#include "workstation/windows/camera_controls.h"
#include "workstation/windows/preview_tabs.h"
#include "workstation/windows/sheet_tools_controls.h"
#include "workstation/windows/veldrin_dlg_template.h"

namespace veldrin_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using veldrin::CScriptedMessageBox;

// Runs the event loop until `done` holds or `ms` have passed.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  return QTest::qWaitFor(done, ms);
}

// The event processing NothingHappensFor runs between its checks in window tests.
inline void ProcessEvents() { QTest::qWait(1); }

// Runs the event loop until `window` has been painted at its present size with a picture of
// `picture` pixels, so that mouse positions map onto the picture as a test computes them.
inline bool WaitForPaintedPlacement(const CImageWindow* window, cv::Size picture) {
  return WaitFor([window, picture] {
    const auto place =
        veldrin::PlaceImage(window->width(), window->height(), picture.width, picture.height);
    return place && window->GetScale() == place->scale && window->GetXOffset() == place->xOffset;
  });
}

inline cv::Mat IndependentWarp(const cv::Mat& frame, const std::vector<cv::Point2f>& corners, int w,
                               int h) {
  const std::vector<cv::Point2f> dst{{0, 0}, {float(w), 0}, {float(w), float(h)}, {0, float(h)}};
  cv::Mat m = cv::getPerspectiveTransform(corners, dst, cv::DECOMP_LU);
  m.convertTo(m, CV_32F);
  cv::Mat out;
  cv::warpPerspective(frame, out, m, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
  return out;
}

inline double MaxDiff(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return 1e9;
  double worst = 0;
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  cv::minMaxLoc(diff.reshape(1), nullptr, &worst);
  return worst;
}

inline const auto* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new CQtAppEnvironment("veldrin_dlg_test"));

class VeldrinDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_name = UniqueInstanceName("dlg");
    m_still = MakeStill(640, 480, 0);
    cv::imwrite((m_dir / "a.png").string(), m_still);
    cv::imwrite((m_dir / "b.png").string(), MakeStill(640, 480, 1));
    SetCameras("Still A=" + (m_dir / "a.png").string() + ";Still B=" + (m_dir / "b.png").string());
    m_boxes = std::make_shared<CScriptedMessageBox>();
    m_scope = std::make_unique<CScopedMessageBoxService>(m_boxes);
  }

  void TearDown() override {
    m_scope.reset();
    m_host.reset();
    ::unsetenv("VELDRIN_CAMERAS");
  }

  static cv::Mat MakeStill(int w, int h, int seed) {
    cv::Mat img(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        img.at<cv::Vec3b>(y, x) = cv::Vec3b((x + seed * 40) % 256, y % 256, (x * y / 64) % 256);
    cv::circle(img, {w / 2, h / 2}, h / 5, {0, 0, 255}, -1);
    return img;
  }

  static void SetCameras(const std::string& entries) {
    ::setenv("VELDRIN_CAMERAS", entries.c_str(), 1);
  }

  void StartHost(int widthMm, int heightMm) {
    m_host = std::make_unique<CSharedStatusBlock>(m_name, 1);
    ASSERT_TRUE(m_host->IsOpen());
    EXPECT_EQ(m_host->SetFolder(m_dir.string() + "/"), 1);
    EXPECT_EQ(m_host->SetMediaSize(heightMm, widthMm), 1);
  }

  CCameraSettings Settings() const { return CCameraSettings(m_dir.string() + "/", m_name); }

  std::unique_ptr<CVeldrinDlg> Open(const std::string& name) {
    auto dlg = std::make_unique<CVeldrinDlg>(name);
    dlg->OnInitDialog();
    if (!dlg->IsEnded()) dlg->show();
    return dlg;
  }

  // The host up with the media size given, `camera` preferred, and the window open.
  std::unique_ptr<CVeldrinDlg> OpenWith(const std::string& camera, int widthMm = 1000,
                                        int heightMm = 500) {
    StartHost(widthMm, heightMm);
    EXPECT_TRUE(Settings().WriteCamera(camera));
    return Open(m_name);
  }

  // Runs the save button, answering each name dialog that opens with the next name (and
  // cancelling once they are used up). Returns the text each dialog opened with.
  static QStringList SaveAsEach(CVeldrinDlg& dlg, QStringList names) {
    QStringList proposed;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<CAddCalibrationDlg*>(QApplication::activeModalWidget());
      if (!box || box->property("answered").toBool()) return;
      box->setProperty("answered", true);
      auto* edit = box->findChild<QLineEdit*>("1008");
      proposed << edit->text();
      if (names.isEmpty()) {
        box->reject();
        return;
      }
      edit->setText(names.takeFirst());
      box->accept();
    });
    timer.start(30);
    dlg.CalibrationList().OnSaveCalibration();
    return proposed;
  }

  // Runs the save button with the name typed into the name dialog (or cancelled).
  static void SaveAs(CVeldrinDlg& dlg, const std::string& name, bool cancel = false) {
    SaveAsEach(dlg, cancel ? QStringList{} : QStringList{QString::fromStdString(name)});
  }

  // The host takes the waiting picture (if any) and returns it.
  cv::Mat TakePicture(int ms = 5000) {
    if (!WaitFor([&] { return m_host->IsImageReady() != 0; }, ms)) return {};
    cv::Mat picture = ReadPublishedPicture(m_host->GetImagePath());
    EXPECT_EQ(m_host->AcknowledgeImage(), 1);
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
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), button, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(w, &event);
  }

  // Drags a corner of the input window from one picture point to another, as the mouse does.
  static void Drag(CVeldrinDlg& dlg, cv::Point2f from, cv::Point2f to) {
    CImageWindow* input = dlg.InputWindow();
    const QPoint a = WindowPos(input, from);
    const QPoint b = WindowPos(input, to);
    SendMouse(input, QEvent::MouseMove, a, Qt::NoButton);
    SendMouse(input, QEvent::MouseButtonPress, a, Qt::LeftButton);
    for (int i = 1; i <= 4; ++i)
      SendMouse(input, QEvent::MouseMove, a + (b - a) * i / 4, Qt::LeftButton);
    SendMouse(input, QEvent::MouseButtonRelease, b, Qt::NoButton);
  }

  // With VELDRIN_TEST_SCREENSHOTS=DIR, saves what the window looks like at this point, for review.
  static void Screenshot(QWidget& window, const std::string& name) {
    const char* dir = std::getenv("VELDRIN_TEST_SCREENSHOTS");
    if (!dir || !*dir) return;
    QCoreApplication::processEvents();
    window.grab().save(QString::fromStdString(std::string(dir) + "/" + name + ".png"));
  }

  CScratchDir m_scratch{"dlg"};
  const fs::path m_dir = m_scratch.Path();
  std::string m_name;
  cv::Mat m_still;
  std::unique_ptr<CSharedStatusBlock> m_host;
  std::shared_ptr<CScriptedMessageBox> m_boxes;
  std::unique_ptr<CScopedMessageBoxService> m_scope;
};

inline const std::string& Text(int id) { return veldrin::LoadStringResource(id); }

}  // namespace veldrin_test
