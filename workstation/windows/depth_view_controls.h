#pragma once

#include <QObject>

#include <opencv2/core/mat.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostlink/objects_file.h"

class CCalibrationList;
class CColorFrameConsumer;
class CDepthSession;
class CImageWindow;
class CPreviewTabs;
class CRectification;
class CStatusModel;
class QCheckBox;
class QToolButton;
class QWidget;

// The depth side of the main window while a depth camera is the main camera: the depth session
// (RealSense engine and 3D View), "Auto Calibration" and "Draw secure points", the corners saved
// on the empty table (Save Plane; loaded as the session starts and when auto calibration is
// switched off), and the end of the stream on an error, said once while the colour picture goes
// on.
//
// Threads: UI thread, except MarkSecurePoints (colour capture threads), which holds m_depthMutex;
// the UI thread takes the session out under it before deleting it.
class CDepthViewControls : public QObject {
 public:
  struct SWidgets {
    QCheckBox* autoCalibCheck = nullptr;
    QCheckBox* heightTrueCheck = nullptr;  // exclusive with autoCalibCheck
    QCheckBox* securePointsCheck = nullptr;
    QToolButton* closeTabButton = nullptr;
    CImageWindow* inputWindow = nullptr;
  };

  CDepthViewControls(QWidget* dialog, const SWidgets& widgets, CRectification& rectification,
                     CColorFrameConsumer& consumer, CCalibrationList& calibrations,
                     CPreviewTabs& tabs, CStatusModel& status, std::function<std::string()> folder,
                     std::function<void(const std::string&)> say);
  ~CDepthViewControls() override;

  // Loads the saved corners, starts the depth camera for colour frames of the size given and
  // opens the 3D View. A camera that does not start is said with the library's message.
  bool Start(int device, int colorWidth, int colorHeight);
  void Stop();
  // "Height-true picture" as the settings of `section` keep it; a click keeps the choice there.
  void ReadHeightTrue(const std::string& section);
  // The calibration list or the depth controls, as the main camera is an ordinary or a depth one.
  void Show(bool depth);
  CDepthSession* Session() const { return m_depth.get(); }
  // Colour thread.
  void MarkSecurePoints(cv::Mat& frame);
  // Colour thread: the height-true picture (false while there is none to give), the objects for
  // the host, and the output picture with the objects drawn for the operator (null: as it is).
  bool RectifyHeightTrue(const cv::Mat& frame, cv::Mat& out);
  std::shared_ptr<const std::vector<SMediaObject>> HostObjects();
  void ShowOutput(const cv::Mat& picture, CImageWindow& window);
  // The corners saved on the empty table become the corners; false when there are none.
  bool LoadPlane2D(const std::string& folder);
  // "Save Plane": the corners as the table plane, with the 3D plane too while a depth view runs.
  // The two files are a pair: a failed 3D write leaves the 2D file as it was. The outcome, naming
  // the files, goes to the status line.
  void SavePlane();

 private:
  void OnEngineError(const QString& message);

  SWidgets m_widgets;
  CRectification& m_rectification;
  CColorFrameConsumer& m_consumer;
  CCalibrationList& m_calibrations;
  CPreviewTabs& m_tabs;
  CStatusModel& m_status;
  std::function<std::string()> m_folder;
  std::function<void(const std::string&)> m_say;
  std::string m_section;  // the instance's settings section, for the height-true choice
  std::mutex m_depthMutex;
  std::unique_ptr<CDepthSession> m_depth;
};
