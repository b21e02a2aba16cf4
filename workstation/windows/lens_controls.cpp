#include "workstation/windows/lens_controls.h"

#include <QMenu>
#include <QWidget>

#include <utility>

#include "platform/message_box.h"
#include "video/opencv_video_engine.h"
#include "workstation/camera_settings.h"
#include "workstation/camera_switcher.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/lens.h"
#include "workstation/plane_lens_loader.h"
#include "workstation/rectification.h"
#include "workstation/windows/lens_dlg.h"

CLensControls::CLensControls(QWidget* dialog, CCameraSwitcher& cameras,
                             CColorFrameConsumer& consumer, CRectification& rectification,
                             std::function<std::string()> folder,
                             std::function<CCameraSettings()> settings,
                             std::function<void(const std::string&)> report,
                             std::function<void()> changed)
    : QObject(dialog),
      m_dialog(dialog),
      m_cameras(cameras),
      m_consumer(consumer),
      m_rectification(rectification),
      m_folder(std::move(folder)),
      m_settings(std::move(settings)),
      m_report(std::move(report)),
      m_changed(std::move(changed)) {}

bool CLensControls::IsOffered() const {
  const int camera = m_cameras.Current();
  return camera >= 0 && m_cameras.List() && m_cameras.Engine()->IsRealSense(camera) == 0;
}

void CLensControls::OnLensDialog() {
  if (!IsOffered()) return;
  const std::string camera = m_cameras.CameraName(m_cameras.Current());
  if (veldrin::LensFileName(camera).empty()) {
    AfxMessageBox("The camera's name \"" + camera +
                      "\" cannot be used as a file name, so no lens correction can be kept for it.",
                  MB_ICONERROR | MB_OK);
    return;
  }
  // The lens is measured on the frames as the camera delivers them, not on corrected ones.
  m_consumer.SetKeepRawFrame(true);
  const CCameraSettings settings = m_settings();
  const SLensBoard board = settings.ReadBoard();
  CLensDlg dlg(
      camera, m_folder(), [this] { return m_consumer.GetLastRawFrame(); }, board, m_dialog);
  dlg.exec();
  m_consumer.SetKeepRawFrame(false);
  const SLensBoard used = dlg.Board();
  if ((used.columns != board.columns || used.rows != board.rows ||
       used.squareMm != board.squareMm) &&
      !settings.WriteBoard(used) && !settings.GetPath().empty() && m_report) {
    m_report("The board could not be kept in " + settings.GetPath() + ".");
  }
  LoadForCamera();
  if (m_changed) m_changed();
}

void CLensControls::AddMenuAction(QMenu& menu, bool always) {
  const bool offered = IsOffered();
  if (!always && !offered) return;
  menu.addAction(QStringLiteral("Lens\u2026"), this, [this] { OnLensDialog(); })
      ->setEnabled(offered);
}

void CLensControls::LoadForCamera() {
  std::string problem;
  m_rectification.SetLens(IsOffered()
                              ? veldrin::LoadLensForCamera(
                                    m_folder(), m_cameras.CameraName(m_cameras.Current()), &problem)
                              : nullptr);
  if (!problem.empty() && m_report) m_report(problem);
}

std::string CLensControls::ActiveName() const {
  cv::Size seen(m_consumer.LastColorWidth(), m_consumer.LastColorHeight());
  if (seen.width <= 0 || seen.height <= 0)
    seen = cv::Size(m_cameras.FrameWidth(), m_cameras.FrameHeight());
  return veldrin::ActiveLensName(m_rectification.GetLens().get(), seen);
}
