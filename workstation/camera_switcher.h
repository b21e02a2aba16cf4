#pragma once

#include <opencv2/core/types.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CCameraList;
class CImageWindow;
class CKivOpenCVVideoEngine;
class CKivVideoEngineListener;

// The main camera: the main webcam engine and the camera list it built, which camera the tool
// starts with, switching to another (back to the one before when the new one does not start),
// and the camera configuration kept in CamDrv.ini (frame size, divisor, the camera's name).
// The settings file is found anew at every access, through `folder`.
//
// Threads: UI thread only. The engine's capture thread calls the listener; the list guards
// itself for the capture threads that read it.
class CCameraSwitcher {
 public:
  enum class ESwitch {
    kRefused,    // a negative index, or no camera listed yet
    kUnchanged,  // the index names no device: the current camera stays
    kFailed,     // the camera did not start: the previous one was started again
    kStopped,    // neither it nor the previous one started
    kSwitched,
  };

  CCameraSwitcher(std::function<std::string()> folder, std::string section,
                  CKivVideoEngineListener& listener);
  ~CCameraSwitcher();

  // Reads the frame size and divisor; `problem` says why the stored size was not used, if so.
  void ReadSettings(std::string& problem);
  // Lists the cameras with the main engine. False when there is none.
  [[nodiscard]] bool ListCameras();
  // The preferred camera when it is listed and opens; otherwise asks, and the first free camera
  // that opens on "yes". -1 when none is to be used; `declined` tells that the operator said so.
  // With none stored (the first start) the first available camera is taken without a question,
  // and `notice` says so.
  int ReadPreferredCamera(bool& declined, std::string& notice);
  // Makes `index` the main camera, shown in `inputWindow`. A camera that does not start is said
  // once, and the previous one goes on.
  ESwitch Switch(int index, CImageWindow* inputWindow);

  CKivOpenCVVideoEngine* Engine() const { return m_pWebcamEngine.get(); }
  CCameraList* List() const { return m_pCameraList.get(); }
  int Current() const { return m_nCurrentCamera; }
  int FrameWidth() const { return m_frameWidth; }
  int FrameHeight() const { return m_frameHeight; }
  int FrameDivisor() const { return m_frameDivisor; }
  // "Cam 1 (name)", as the camera combo and the status line name camera `index`.
  std::string CameraEntry(int index) const;
  std::string CameraName(int index) const;
  // The sizes the main camera offers (empty without one).
  const std::vector<cv::Point>& Resolutions() const;

  // The camera configuration's choice: the divisor, and the entry `resolutionIndex` of
  // Resolutions() as the frame size (kept when it names none); then written to CamDrv.ini.
  // False, with `error` naming the file, when it could not be written.
  [[nodiscard]] bool Configure(int resolutionIndex, int divisor, std::string& error);
  // Writes the main camera's name as the preferred camera. False, with `error` naming the file,
  // when it could not be written; true without a main camera (nothing to write).
  [[nodiscard]] bool SaveCamera(std::string& error) const;
  // Writes the selected calibration's index and name. False, with `error` naming the file, when
  // either could not be written; true without a settings file (no host folder).
  [[nodiscard]] bool SaveCalibration(int index, const std::string& name, std::string& error) const;

 private:
  std::string SettingsPath() const;

  std::function<std::string()> m_folder;
  std::string m_section;
  CKivVideoEngineListener& m_listener;
  std::unique_ptr<CKivOpenCVVideoEngine> m_pWebcamEngine;
  std::unique_ptr<CCameraList> m_pCameraList;
  int m_nCurrentCamera = -1;
  int m_frameWidth = 640;
  int m_frameHeight = 480;
  int m_frameDivisor = 0;
};
