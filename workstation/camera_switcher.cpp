#include "workstation/camera_switcher.h"

#include <utility>

#include "platform/message_box.h"
#include "resources/string_table.h"
#include "video/opencv_video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/camera_settings.h"

CCameraSwitcher::CCameraSwitcher(std::function<std::string()> folder, std::string section,
                                 CKivVideoEngineListener& listener)
    : m_folder(std::move(folder)), m_section(std::move(section)), m_listener(listener) {}

// The list goes first: its records point at the engine.
CCameraSwitcher::~CCameraSwitcher() {
  m_pCameraList.reset();
  m_pWebcamEngine.reset();  // joins the capture thread
}

std::string CCameraSwitcher::SettingsPath() const { return veldrin::SettingsPath(m_folder()); }

void CCameraSwitcher::ReadSettings(std::string& problem) {
  const CCameraSettings settings(m_folder(), m_section);
  settings.ReadFrameSize(m_frameWidth, m_frameHeight, problem);
  m_frameDivisor = settings.ReadFrameDivisor();
}

bool CCameraSwitcher::ListCameras() {
  m_pWebcamEngine = std::make_unique<CKivOpenCVVideoEngine>();
  m_pCameraList = std::make_unique<CCameraList>(*m_pWebcamEngine);
  return m_pCameraList->GetCount() > 0;
}

std::string CCameraSwitcher::CameraName(int index) const {
  return m_pWebcamEngine ? m_pWebcamEngine->Device(index).strName : std::string();
}

std::string CCameraSwitcher::CameraEntry(int index) const {
  return veldrin::CameraEntryText(index, CameraName(index),
                                  m_pCameraList ? m_pCameraList->GetKind(index) : 0);
}

const std::vector<cv::Point>& CCameraSwitcher::Resolutions() const {
  static const std::vector<cv::Point> kNone;
  return m_pWebcamEngine ? m_pWebcamEngine->Device(m_nCurrentCamera).resolutions : kNone;
}

int CCameraSwitcher::ReadPreferredCamera(bool& declined, std::string& notice) {
  declined = false;
  const std::string preferred = CCameraSettings(m_folder(), m_section).ReadCamera();
  // The main engine has just listed the devices and is not capturing yet: it answers for them.
  CKivOpenCVVideoEngine& engine = *m_pWebcamEngine;
  const int count = static_cast<int>(engine.GetDeviceCount());
  if (!preferred.empty()) {
    for (int i = 0; i < count && i < MAX_VIDEO_DEVICES; ++i) {
      if (engine.Device(i).strName == preferred && engine.IsDeviceAvailable(i)) return i;
    }
  } else {
    // None was ever chosen (the first start): there is nothing to ask about.
    for (int i = 0; i < count && i < MAX_VIDEO_DEVICES; ++i) {
      if (!engine.IsDeviceAvailable(i)) continue;
      notice = "No camera was chosen before: using " + CameraEntry(i) + ".";
      return i;
    }
  }
  if (AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_PREFERRED_CAMERA_UNAVAILABLE) != IDYES) {
    declined = true;
    return -1;
  }
  const int free = m_pCameraList->FindFirstFree();
  if (free < 0) return -1;
  return engine.IsDeviceAvailable(free) ? free : -1;
}

CCameraSwitcher::ESwitch CCameraSwitcher::Switch(int index, CImageWindow* inputWindow) {
  if (index < 0 || !m_pWebcamEngine) return ESwitch::kRefused;
  const int previous = m_nCurrentCamera;
  // An index naming no device keeps the current camera: recording it would leave the dialog
  // pointing at nothing, and the settings would later be saved from it.
  if (index >= m_pWebcamEngine->EnumerateDevices()) return ESwitch::kUnchanged;
  m_nCurrentCamera = index;

  m_pWebcamEngine->Stop();
  m_pWebcamEngine->Setup(index, m_frameWidth, m_frameHeight, &m_listener);
  if (!m_pWebcamEngine->Start()) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
    m_nCurrentCamera = previous;
    m_pWebcamEngine->Setup(previous, m_frameWidth, m_frameHeight, &m_listener);
    return m_pWebcamEngine->Start() ? ESwitch::kFailed : ESwitch::kStopped;
  }
  if (previous != -1 && previous != index)
    m_pCameraList->SetCameraAt(previous, -1, veldrin::kCamStateFree, nullptr, nullptr,
                               m_pCameraList->GetKind(previous));
  m_pCameraList->SetCameraAt(index, 0, veldrin::kCamStateMain, m_pWebcamEngine.get(), inputWindow,
                             m_pCameraList->GetKind(index));
  return ESwitch::kSwitched;
}

bool CCameraSwitcher::Configure(int resolutionIndex, int divisor, std::string& error) {
  m_frameDivisor = divisor;
  const std::vector<cv::Point>& resolutions = Resolutions();
  if (resolutionIndex >= 0 && resolutionIndex < static_cast<int>(resolutions.size())) {
    m_frameWidth = resolutions[resolutionIndex].x;
    m_frameHeight = resolutions[resolutionIndex].y;
  }
  const CCameraSettings settings(m_folder(), m_section);
  // All three are tried: one that fails leaves the others written.
  const bool x = settings.WriteResX(m_frameWidth);
  const bool y = settings.WriteResY(m_frameHeight);
  const bool d = settings.WriteFrameDivisor(m_frameDivisor);
  if (x && y && d) return true;
  error = "The camera configuration could not be saved in " + settings.GetPath() + ".";
  return false;
}

bool CCameraSwitcher::SaveCamera(std::string& error) const {
  INFO_CAM_DATA record;
  if (!m_pCameraList || !m_pCameraList->GetCameraAt(m_nCurrentCamera, record) || !m_pWebcamEngine)
    return true;
  const CCameraSettings settings(m_folder(), m_section);
  if (settings.WriteCamera(CameraName(m_nCurrentCamera))) return true;
  error = "The camera's name could not be saved in " + settings.GetPath() + ".";
  return false;
}

bool CCameraSwitcher::SaveCalibration(int index, const std::string& name,
                                      std::string& error) const {
  const CCameraSettings settings(m_folder(), m_section);
  // Both are tried: one failed key must not cost the other.
  const bool indexWritten = settings.WriteCalibIndex(index);
  const bool nameWritten = settings.WriteCalibName(name);
  if ((indexWritten && nameWritten) || settings.GetPath().empty()) return true;
  error = "The selected calibration could not be saved in " + settings.GetPath() + ".";
  return false;
}
