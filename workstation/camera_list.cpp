#include "workstation/camera_list.h"

#include "video/opencv_video_engine.h"

CCameraList::CCameraList(CKivVideoEngine& enumerator) { Build(enumerator); }

CCameraList::CCameraList() {
  CKivOpenCVVideoEngine engine;
  Build(engine);
}

void CCameraList::Build(CKivVideoEngine& enumerator) {
  const int n = enumerator.EnumerateDevices();
  std::lock_guard lock(m_mutex);
  m_records.clear();
  for (int i = 0; i < n; ++i) {
    INFO_CAM_DATA r;
    r.nCamera = i;
    r.nState =
        enumerator.IsDeviceAvailable(i) ? veldrin::kCamStateFree : veldrin::kCamStateUnavailable;
    r.nKind = enumerator.IsRealSense(i) == 1 ? veldrin::kCamKindDepth : veldrin::kCamKindColor;
    m_records.push_back(r);
  }
}

int CCameraList::GetCount() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_records.size());
}

int CCameraList::GetCameraAt(int index, INFO_CAM_DATA& out) const {
  std::lock_guard lock(m_mutex);
  if (index < 0 || index >= static_cast<int>(m_records.size())) return 0;
  out = m_records[index];
  return 1;
}

int CCameraList::SetCameraAt(int index, int tab, int state, CKivVideoEngine* engine,
                             CImageWindow* window, int kind) {
  std::lock_guard lock(m_mutex);
  if (index < 0 || index >= static_cast<int>(m_records.size())) return 0;
  m_records[index] = INFO_CAM_DATA{index, tab, engine, window, state, kind};
  return 1;
}

int CCameraList::GetState(int index) const {
  std::lock_guard lock(m_mutex);
  if (index < 0 || index >= static_cast<int>(m_records.size())) return -1;
  return m_records[index].nState;
}

int CCameraList::GetKind(int index) const {
  std::lock_guard lock(m_mutex);
  if (index < 0 || index >= static_cast<int>(m_records.size())) return 0;
  return m_records[index].nKind;
}

int CCameraList::FindByTab(int tab, INFO_CAM_DATA& out) const {
  std::lock_guard lock(m_mutex);
  for (const INFO_CAM_DATA& r : m_records) {
    if (r.nTab == tab) {
      out = r;
      return 1;
    }
  }
  return 0;
}

int CCameraList::FindFirstFree() const {
  std::lock_guard lock(m_mutex);
  for (const INFO_CAM_DATA& r : m_records) {
    if (r.nState == veldrin::kCamStateFree) return r.nCamera;
  }
  return -1;
}

std::vector<INFO_CAM_DATA> CCameraList::Snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_records;
}

namespace veldrin {

std::string CameraEntryText(int index, const std::string& name, int kind) {
  std::string text = "Cam " + std::to_string(index) + " (" + name + ")";
  if (kind == veldrin::kCamKindDepth) text += " (3D)";
  return text;
}

}  // namespace veldrin
