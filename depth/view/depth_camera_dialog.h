#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QToolButton>

#include <atomic>
#include <mutex>
#include <string>

#include "depth/table_measure.h"

class CImageWindow;
class COpenGL3DWindow;
class QLabel;

// The up-down arrows beside the tolerance: the up arrow proposes a delta of -1, the down arrow
// +1 (the arrow keys likewise), as the classic control does in its default range.
class CUpDown : public QWidget {
  Q_OBJECT

 public:
  explicit CUpDown(QWidget* parent = nullptr);
  QToolButton* UpButton() const { return m_up; }
  QToolButton* DownButton() const { return m_down; }

 signals:
  void DeltaPos(int delta);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QToolButton* m_up;
  QToolButton* m_down;
};

// The "3D View": the grey depth picture with the table corners, the OpenGL view of the averaged
// cloud coloured by height, the tolerance and drawing switches, and the measured object height.
// It owns the per-frame measuring state (the table measure) and the 3D plane file.
//
// Threads: UpdateDepthView and GetRaisedPlaneCorners run on the depth frame thread; everything
// else on the UI thread. m_measureMutex guards the table measure between the two (the frame
// thread holds it while measuring, never while doing I/O or waiting for the UI thread). The
// tolerance and the switches are atomics; widgets are reached from the frame thread only through
// the image window's thread-safe entry points and queued calls. Published() is for any thread.
class CDepthCameraDialog : public QDialog {
  Q_OBJECT

 public:
  // `folder`: the host's data folder, where the 3D plane file lives. Reads the stored plane and
  // builds both views; the window is top-level and has no close box.
  explicit CDepthCameraDialog(std::string folder, QWidget* parent = nullptr);
  ~CDepthCameraDialog() override;

  // Depth thread: one frame (grey picture, metres, cloud) with the corners in depth pixels
  // (x0, y0 .. x3, y3). Returns the maximum height in metres.
  float UpdateDepthView(const cv::Mat& depthImage, const cv::Mat& depthMeters,
                        const SVertex* vertices, const int corners[8]);
  // The stored plane's corners raised by `height` metres (12 floats); 0 without a stored plane.
  int GetRaisedPlaneCorners(float height, float out[12]);
  float GetTolerance() const { return static_cast<float>(m_nTolerance.load()); }
  // Any thread: the measurement has averaged enough frames to act on (CTableMeasure::IsSettled);
  // until then the height read-out says "measuring…".
  bool IsSettled() const { return m_settled.load(); }

  enum class ESaveResult { kSaved, kNoFrameYet, kWriteFailed };
  // The averaged cloud at the current depth corners becomes the stored plane and the 3D plane
  // file. Before the first frame, or when the file cannot be written, the stored plane (file and
  // measure) stays as it was.
  ESaveResult SavePlaneCoordinates();
  int IsPlaneLoaded();
  // Why a 3D plane file found at start was not used (it names the file); empty otherwise. UI
  // thread.
  const std::string& PlaneProblem() const { return m_planeProblem; }

  // Any thread: the latest measurement.
  CMeasurementExchange::CHandle Published() const { return m_measure.Published(); }

  CImageWindow* DepthImageWindow() const { return m_imageWindow; }
  COpenGL3DWindow* GLWindow() const { return m_pGLWindow; }  // null without OpenGL
  CUpDown* ToleranceArrows() const { return m_upDown; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override {}  // no close box, no Escape: the main window decides
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  // UI thread: shows the last height (or that it is not settled yet). Queued by name, so that the
  // hand-over goes through Qt alone.
  Q_INVOKABLE void ShowHeightQueued();

  void CreateControls();
  void LoadPlaneCoordinates();
  void OnToleranceDeltaPos(int delta);
  void ShowTolerance();
  void PushDrawOptions();

  const std::string m_strFolder;
  std::string m_planeProblem;
  CImageWindow* m_imageWindow = nullptr;
  COpenGL3DWindow* m_pGLWindow = nullptr;
  QLabel* m_noGLLabel = nullptr;
  QLineEdit* m_toleranceEdit = nullptr;
  QLineEdit* m_heightEdit = nullptr;
  CUpDown* m_upDown = nullptr;

  std::atomic<int> m_nTolerance{4};
  std::atomic<int> m_bDrawPlane{1};
  std::atomic<int> m_bDrawTablePoints{0};
  std::atomic<bool> m_heightPending{false};
  std::atomic<int> m_shownHeightMm{0};
  std::atomic<bool> m_settled{false};

  std::mutex m_measureMutex;
  CTableMeasure m_measure;  // guarded by m_measureMutex (Published() excepted)
};
