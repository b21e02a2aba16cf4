#pragma once

#include <QObject>
#include <QString>

#include <opencv2/core/mat.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "video/depth_device.h"
#include "video/video_engine.h"

class CColorFrameConsumer;
class CDepthCameraDialog;
class CHeightTrueWarp;
struct SMediaObject;
class CImageWindow;
class CKivRealSenseVideoEngine;
class CRectification;
class CStatusModel;

// The main window's depth side while a depth camera is the main camera: the RealSense engine,
// the 3D View and the depth-frame consumer that carries the corners into the depth picture, has
// them measured, moves them onto the raised plane ("Auto Calibration") and marks secure points
// in colour frames. The main window only creates, wires and deletes it.
//
// Threads: made, started and deleted on the UI thread. OnDepthFrame and OnEngineError run on the
// engine's frame thread, MarkSecurePoints on a colour capture thread; the owner keeps colour
// threads out of MarkSecurePoints while it deletes the session. The corners live in
// CRectification and the input window, which guard their own; the switches are atomics;
// m_autoMutex makes "Auto Calibration off" final: once SetAutoCalibration(false) has returned,
// no frame moves the corners any more. Destruction stops and joins the frame thread before the
// 3D View goes.
class CDepthSession : public QObject, public CKivVideoEngineListener {
  Q_OBJECT

 public:
  CDepthSession(CRectification& rectification, CImageWindow& inputWindow,
                const CColorFrameConsumer& colour, std::string folder, QObject* parent = nullptr);
  ~CDepthSession() override;

  // Sets the depth camera up for colour frames of colorWidth x colorHeight, opens the 3D View
  // and starts the depth stream. False with the depth library's message when the camera does
  // not start; then nothing runs.
  [[nodiscard]] bool Start(int colorWidth, int colorHeight, std::string& error);

  // The listed camera to open (its position in the device list); by default the first depth one.
  void SelectDevice(int device) { m_device = device; }
  void SetAutoCalibration(bool on);
  // Before Start: the depth frames are counted here, for the status line's depth frame rate.
  void SetStatusModel(CStatusModel* status) { m_status = status; }
  void SetSecurePoints(bool on) { m_securePoints.store(on); }
  // The height-true picture instead of the plain one (the caller keeps it apart from auto
  // calibration). Takes effect once its first tables are built.
  void SetHeightTrue(bool on);
  // Colour thread: the height-true picture of the frame; false while it is off or not ready.
  bool RectifyHeightTrue(const cv::Mat& frame, cv::Mat& out);
  // Any thread: the objects on the media for the host; null before the first measurement.
  std::shared_ptr<const std::vector<SMediaObject>> Objects() const;
  // Colour thread: the output picture with the objects drawn on it, in a buffer of the
  // session's; null when there is nothing to draw.
  const cv::Mat* DecorateOutput(const cv::Mat& picture);
  CHeightTrueWarp* HeightTrue() const { return m_heightTrueWarp.get(); }
  // Colour thread: marks the pixels within the tolerance of the highest surface.
  void MarkSecurePoints(cv::Mat& frame);

  CDepthCameraDialog* Dialog() const { return m_dialog.get(); }
  CKivRealSenseVideoEngine* Engine() const { return m_engine.get(); }
  float MaxHeight() const { return m_maxHeight.load(); }
  std::uint64_t FramesMeasured() const { return m_frames.load(); }

  // Tests make the engine open its camera through this factory (empty: the listed camera).
  static void SetDeviceFactoryForTests(DepthDeviceFactory factory);

 signals:
  // Queued to the UI thread: the depth stream ended on an error. Emitted once per start.
  void EngineError(const QString& message);

 private:
  void OnVideoFrame(int, cv::Mat*) override {}
  void OnDepthFrame(int cameraIndex, cv::Mat* depthImage, cv::Mat* depthMeters,
                    const SVertex* vertices) override;
  void OnEngineError(int cameraIndex, const std::string& message) override;
  void AutoCalibrate();

  CRectification& m_rectification;
  CImageWindow& m_inputWindow;
  const CColorFrameConsumer& m_colour;
  const std::string m_strFolder;
  // Destroyed in reverse order: the height-true worker and the engine (joining their threads)
  // before the 3D View they read.
  std::unique_ptr<CDepthCameraDialog> m_dialog;
  std::unique_ptr<CKivRealSenseVideoEngine> m_engine;
  std::unique_ptr<CHeightTrueWarp> m_heightTrueWarp;
  std::atomic<bool> m_heightTrue{false};
  cv::Mat m_decorated;  // DecorateOutput's buffer, under the owner's lock on the session

  int m_device = -1;
  CStatusModel* m_status = nullptr;  // set before Start; guards itself
  std::atomic<bool> m_ready{false};  // the 3D View exists: frames may use it
  std::atomic<bool> m_securePoints{false};
  std::atomic<float> m_maxHeight{0.f};
  std::atomic<std::uint64_t> m_frames{0};
  cv::Size m_firstSize;  // frame thread only: the size every measured frame has
  std::mutex m_autoMutex;
  bool m_autoCalibration = false;           // guarded by m_autoMutex
  std::vector<cv::Point2f> m_tableCorners;  // guarded by m_autoMutex: the corners on the table
};
