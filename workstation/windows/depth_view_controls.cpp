#include "workstation/windows/depth_view_controls.h"

#include <QCheckBox>
#include <QToolButton>

#include <utility>
#include <vector>

#include "depth/plane_files.h"
#include "depth/view/depth_camera_dialog.h"
#include "display/image_window.h"
#include "platform/message_box.h"
#include "workstation/camera_settings.h"
#include "workstation/plane_lens_loader.h"
#include "workstation/rectification.h"
#include "workstation/status_model.h"
#include "workstation/windows/calibration_list.h"
#include "workstation/windows/depth_session.h"
#include "workstation/windows/preview_tabs.h"

namespace {

constexpr const char* kNoDepthFrameYet =
    "The depth camera has not measured the table yet: the plane was not saved.";

}  // namespace

CDepthViewControls::CDepthViewControls(QWidget* dialog, const SWidgets& widgets,
                                       CRectification& rectification, CColorFrameConsumer& consumer,
                                       CCalibrationList& calibrations, CPreviewTabs& tabs,
                                       CStatusModel& status, std::function<std::string()> folder,
                                       std::function<void(const std::string&)> say)
    : QObject(dialog),
      m_widgets(widgets),
      m_rectification(rectification),
      m_consumer(consumer),
      m_calibrations(calibrations),
      m_tabs(tabs),
      m_status(status),
      m_folder(std::move(folder)),
      m_say(std::move(say)) {
  connect(m_widgets.autoCalibCheck, &QCheckBox::clicked, this, [this](bool on) {
    // Off first, so no depth frame moves the corners after the saved ones are back.
    if (m_depth) m_depth->SetAutoCalibration(on);
    if (!on) LoadPlane2D(m_folder());
    if (on && m_widgets.heightTrueCheck->isChecked()) m_widgets.heightTrueCheck->click();
  });
  connect(m_widgets.heightTrueCheck, &QCheckBox::clicked, this, [this](bool on) {
    // The corners stay on the table for the height-true picture.
    if (on && m_widgets.autoCalibCheck->isChecked()) m_widgets.autoCalibCheck->click();
    if (m_depth) m_depth->SetHeightTrue(on);
    const CCameraSettings settings(m_folder(), m_section);
    if (!settings.WriteHeightTrue(on))
      m_status.ReportProblem("The picture choice could not be saved in " + settings.GetPath() +
                             ".");
  });
  connect(m_widgets.securePointsCheck, &QCheckBox::toggled, this, [this](bool on) {
    if (m_depth) m_depth->SetSecurePoints(on);
  });
}

// The owner stops the session first, while the widgets are still there.
CDepthViewControls::~CDepthViewControls() = default;

void CDepthViewControls::ReadHeightTrue(const std::string& section) {
  m_section = section;
  m_widgets.heightTrueCheck->setChecked(CCameraSettings(m_folder(), section).ReadHeightTrue());
}

bool CDepthViewControls::Start(int device, int colorWidth, int colorHeight) {
  Stop();
  const std::string folder = m_folder();
  LoadPlane2D(folder);
  auto session =
      std::make_unique<CDepthSession>(m_rectification, *m_widgets.inputWindow, m_consumer, folder);
  session->SetAutoCalibration(m_widgets.autoCalibCheck->isChecked());
  session->SetSecurePoints(m_widgets.securePointsCheck->isChecked());
  session->SetHeightTrue(m_widgets.heightTrueCheck->isChecked());
  session->SelectDevice(device);
  session->SetStatusModel(&m_status);
  std::string error;
  if (!session->Start(colorWidth, colorHeight, error)) {
    session.reset();
    // No box: it would hold the start with the colour camera stopped, and nothing would be
    // published until someone answered it.
    m_say("Depth camera: " + error);
    return false;
  }
  if (session->Dialog() && !session->Dialog()->PlaneProblem().empty())
    m_say(session->Dialog()->PlaneProblem());
  connect(
      session.get(), &CDepthSession::EngineError, this,
      [this](const QString& message) { OnEngineError(message); }, Qt::QueuedConnection);
  {
    std::lock_guard lock(m_depthMutex);
    m_depth = std::move(session);
  }
  m_widgets.securePointsCheck->setEnabled(true);
  return true;
}

void CDepthViewControls::Stop() {
  std::unique_ptr<CDepthSession> session;
  {
    std::lock_guard lock(m_depthMutex);
    session = std::move(m_depth);
  }
  if (!session) return;
  session.reset();  // stops and joins the depth thread, then closes the 3D View
  m_widgets.securePointsCheck->setEnabled(false);
}

void CDepthViewControls::Show(bool depth) {
  m_widgets.autoCalibCheck->setVisible(depth);
  m_widgets.heightTrueCheck->setVisible(depth);
  depth ? m_calibrations.Hide() : m_calibrations.Show();
  m_widgets.closeTabButton->setVisible(!depth);
}

// The depth stream ended (camera gone, no frames): said once, and the colour picture goes on.
void CDepthViewControls::OnEngineError(const QString& message) {
  if (!m_depth) return;
  Stop();
  Show(false);
  m_tabs.UpdatePlusTab();
  m_say("Depth camera: " + message.toStdString());
  AfxMessageBox(message.toStdString(), MB_ICONERROR | MB_OK);
}

void CDepthViewControls::MarkSecurePoints(cv::Mat& frame) {
  std::lock_guard lock(m_depthMutex);
  if (m_depth) m_depth->MarkSecurePoints(frame);
}

bool CDepthViewControls::RectifyHeightTrue(const cv::Mat& frame, cv::Mat& out) {
  std::lock_guard lock(m_depthMutex);
  return m_depth && m_depth->RectifyHeightTrue(frame, out);
}

std::shared_ptr<const std::vector<SMediaObject>> CDepthViewControls::HostObjects() {
  std::lock_guard lock(m_depthMutex);
  return m_depth ? m_depth->Objects() : nullptr;
}

void CDepthViewControls::ShowOutput(const cv::Mat& picture, CImageWindow& window) {
  std::lock_guard lock(m_depthMutex);  // the objects, drawn for the operator only
  const cv::Mat* decorated = m_depth ? m_depth->DecorateOutput(picture) : nullptr;
  window.SetImage(decorated ? *decorated : picture);
}

bool CDepthViewControls::LoadPlane2D(const std::string& folder) {
  std::vector<cv::Point2f> corners;
  if (!veldrin::LoadPlaneCorners(folder, corners)) return false;
  m_calibrations.ApplyCorners(corners);
  return true;
}

void CDepthViewControls::SavePlane() {
  const std::vector<cv::Point2f> corners = m_rectification.GetCorners();
  if (corners.size() != 4) return;
  const std::string folder = m_folder();
  const auto notSaved = [this](const std::string& path) {
    m_say("The plane was not saved: " + path + " could not be written.");
  };
  const std::string path3D = veldrin::Plane3DPath(folder);
  const bool depth = m_depth && m_depth->Dialog();
  if (depth) {
    // The 3D plane first; before the first depth frame there is none, and nothing is saved.
    const CDepthCameraDialog::ESaveResult saved = m_depth->Dialog()->SavePlaneCoordinates();
    if (saved == CDepthCameraDialog::ESaveResult::kNoFrameYet) {
      m_say(kNoDepthFrameYet);
      AfxMessageBox(kNoDepthFrameYet, MB_OK);
      return;
    }
    if (saved == CDepthCameraDialog::ESaveResult::kWriteFailed) return notSaved(path3D);
  }
  const Plane2D plane{corners[0], corners[1], corners[2], corners[3]};
  const std::string path2D = veldrin::Plane2DPath(folder);
  if (!veldrin::WritePlane2D(path2D, plane)) return notSaved(path2D);
  m_status.ReportNotice("Plane saved: " + (depth ? path3D + " and " : std::string()) + path2D +
                        ".");
  m_say(std::string());  // clears an earlier failure and shows the notice
}
