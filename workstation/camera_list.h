#pragma once

#include <mutex>
#include <string>
#include <vector>

class CKivVideoEngine;
class CImageWindow;

namespace veldrin {

// What a camera is: a colour camera, or a depth camera (which also delivers colour).
inline constexpr int kCamKindColor = 0;
inline constexpr int kCamKindDepth = 1;

// Where a camera is shown: nowhere, in the main picture, in a preview tab; or not available.
inline constexpr int kCamStateFree = 0;
inline constexpr int kCamStateMain = 1;
inline constexpr int kCamStatePreview = 2;
inline constexpr int kCamStateUnavailable = 4;

}  // namespace veldrin

// One camera of the machine as the workstation sees it. Engine and window are opaque here.
struct INFO_CAM_DATA {
  int nCamera = -1;
  int nTab = -1;
  CKivVideoEngine* pEngine = nullptr;
  CImageWindow* pWindow = nullptr;
  int nState = veldrin::kCamStateFree;
  int nKind = veldrin::kCamKindColor;
};

// Every camera found at start, built once. Records are replaced on the UI thread and read by the
// capture threads while routing frames, so all access goes through m_mutex and hands out copies.
class CCameraList {
 public:
  // Lists the devices that `enumerator` finds, probing each for availability.
  explicit CCameraList(CKivVideoEngine& enumerator);
  // Lists the devices of a temporary webcam engine.
  CCameraList();

  int GetCount() const;
  int GetCameraAt(int index, INFO_CAM_DATA& out) const;
  int SetCameraAt(int index, int tab, int state, CKivVideoEngine* engine, CImageWindow* window,
                  int kind);
  int GetState(int index) const;
  int GetKind(int index) const;
  int FindByTab(int tab, INFO_CAM_DATA& out) const;
  int FindFirstFree() const;
  std::vector<INFO_CAM_DATA> Snapshot() const;

 private:
  void Build(CKivVideoEngine& enumerator);

  mutable std::mutex m_mutex;
  std::vector<INFO_CAM_DATA> m_records;
};

namespace veldrin {

// How a camera is named to the operator: "Cam 0 (Table camera)", and "Cam 1 (name) (3D)" for the
// colour sensor of a depth camera (veldrin::kCamKindDepth).
std::string CameraEntryText(int index, const std::string& name, int kind);

}  // namespace veldrin
