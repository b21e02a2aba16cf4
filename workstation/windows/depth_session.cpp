#include "workstation/windows/depth_session.h"

#include <QMetaObject>

#include <cmath>

#include "depth/media_height_map.h"
#include "depth/secure_points.h"
#include "depth/view/depth_camera_dialog.h"
#include "display/image_window.h"
#include "video/realsense_video_engine.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/height_true_table.h"
#include "workstation/height_true_warp.h"
#include "workstation/rectification.h"
#include "workstation/status_model.h"

namespace {

DepthDeviceFactory& TestFactory() {
  static DepthDeviceFactory factory;
  return factory;
}

// Heights below this count as the table itself when the corners are raised.
constexpr double kLeastRaise = 0.005;

}  // namespace

void CDepthSession::SetDeviceFactoryForTests(DepthDeviceFactory factory) {
  TestFactory() = std::move(factory);
}

CDepthSession::CDepthSession(CRectification& rectification, CImageWindow& inputWindow,
                             const CColorFrameConsumer& colour, std::string folder, QObject* parent)
    : QObject(parent),
      m_rectification(rectification),
      m_inputWindow(inputWindow),
      m_colour(colour),
      m_strFolder(std::move(folder)) {}

// The engine goes first (its destructor joins the frame thread, which may still be inside
// OnDepthFrame), then the 3D View: the members are declared in that order. The pointers are not
// reset here, as the frame thread reads them until it has been joined.
CDepthSession::~CDepthSession() {
  m_heightTrueWarp.reset();
  if (m_engine) m_engine->Stop();
  if (m_status) m_status->SetDepthRunning(false);
}

bool CDepthSession::Start(int colorWidth, int colorHeight, std::string& error) {
  const DepthDeviceFactory& factory = TestFactory();
  m_engine = factory ? std::make_unique<CKivRealSenseVideoEngine>(factory)
                     : std::make_unique<CKivRealSenseVideoEngine>();
  m_engine->SelectDevice(m_device);
  try {
    m_engine->SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, this, colorWidth, colorHeight);
  } catch (const std::exception& e) {
    error = e.what();
    m_engine.reset();
    return false;
  }
  // The view exists before the first frame, so no frame finds it half made.
  m_dialog = std::make_unique<CDepthCameraDialog>(m_strFolder);
  m_dialog->show();
  CDepthCameraDialog* view = m_dialog.get();
  m_heightTrueWarp = std::make_unique<CHeightTrueWarp>(
      m_rectification, m_engine->GetCalibration(), [view] { return view->Published(); },
      [view] { return static_cast<double>(view->GetTolerance()); });
  m_heightTrueWarp->SetEnabled(m_heightTrue.load());
  m_ready.store(true);
  if (m_status) m_status->SetDepthRunning(true);
  if (!m_engine->Start()) {
    error = "the depth stream did not start";
    return false;
  }
  return true;
}

void CDepthSession::SetAutoCalibration(bool on) {
  std::lock_guard lock(m_autoMutex);
  // The corners lie on the table when it is switched on; every raise starts from them.
  if (on && !m_autoCalibration) m_tableCorners = m_rectification.GetCorners();
  m_autoCalibration = on;
}

void CDepthSession::OnDepthFrame(int cameraIndex, cv::Mat* depthImage, cv::Mat* depthMeters,
                                 const SVertex* vertices) {
  if (cameraIndex != DEPTH_CAMERA_INDEX || !depthMeters || depthMeters->empty() || !vertices ||
      !depthImage)
    return;
  if (m_status) m_status->CountDepthFrame();
  // Nothing is measured before the first colour frame, nor without the view.
  if (m_colour.LastColorWidth() == 0 || m_colour.LastColorHeight() == 0) return;
  if (!m_ready.load()) return;
  // The measure keeps the first frame's size; a frame of another size is skipped.
  if (m_firstSize.empty()) m_firstSize = depthMeters->size();
  if (depthMeters->size() != m_firstSize) return;

  const std::vector<cv::Point2f> corners = m_rectification.GetCorners();
  if (corners.size() != 4) return;
  int d[8] = {};
  for (std::size_t i = 0; i < 4; ++i) {
    m_engine->ColorPixelToDepthPixel(static_cast<int>(corners[i].x), static_cast<int>(corners[i].y),
                                     d[2 * i], d[2 * i + 1]);
  }
  m_maxHeight.store(m_dialog->UpdateDepthView(*depthImage, *depthMeters, vertices, d));
  AutoCalibrate();
  m_frames.fetch_add(1);
}

void CDepthSession::AutoCalibrate() {
  std::lock_guard lock(m_autoMutex);
  // The first frames' heights are not settled yet: the corners wait rather than jump around.
  if (!m_autoCalibration || !m_dialog->IsSettled()) return;
  double h = m_maxHeight.load();
  if (h < kLeastRaise) h = 0;
  float p[12];
  if (!m_dialog->GetRaisedPlaneCorners(static_cast<float>(h), p)) return;  // no stored plane
  const CMeasurementExchange::CHandle latest = m_dialog->Published();
  if (!latest || m_tableCorners.size() != 4) return;
  // From the colour corners themselves, not from the whole depth pixels they were carried to.
  SHeightTrueCamera camera;
  camera.calibration = m_engine->GetCalibration();
  const std::shared_ptr<const SLensModel> lens = m_rectification.GetLens();
  if (lens && m_rectification.LensAppliesTo(m_rectification.GetFrameSize())) {
    camera.lens = lens.get();
  }
  std::array<cv::Vec3d, 4> points;
  if (!veldrin::RaisedCornerPoints(camera.calibration, latest->plane,
                                   veldrin::CornerRays(camera, m_tableCorners), h * 1000.0,
                                   points)) {
    return;
  }
  std::vector<cv::Point2f> corners(4);
  for (std::size_t i = 0; i < 4; ++i) {
    const cv::Point2d q = veldrin::ColorCameraPointToFramePixel(camera, points[i]);
    if (!(std::abs(q.x) < 1e6 && std::abs(q.y) < 1e6)) return;
    corners[i] = cv::Point2f(static_cast<float>(q.x), static_cast<float>(q.y));
  }
  if (!m_rectification.SetCorners(corners)) return;
  m_inputWindow.SetPoints(corners);
}

void CDepthSession::SetHeightTrue(bool on) {
  m_heightTrue.store(on);
  if (m_heightTrueWarp) m_heightTrueWarp->SetEnabled(on);
}

bool CDepthSession::RectifyHeightTrue(const cv::Mat& frame, cv::Mat& out) {
  return m_ready.load() && m_heightTrueWarp && m_heightTrueWarp->Rectify(frame, out);
}

std::shared_ptr<const std::vector<SMediaObject>> CDepthSession::Objects() const {
  return m_ready.load() && m_heightTrueWarp ? m_heightTrueWarp->Objects() : nullptr;
}

const cv::Mat* CDepthSession::DecorateOutput(const cv::Mat& picture) {
  const std::shared_ptr<const std::vector<SMediaObject>> objects = Objects();
  if (!objects || objects->empty()) return nullptr;
  veldrin::DrawObjects(picture, *objects, m_heightTrueWarp->MediaSize(), m_decorated);
  return &m_decorated;
}

void CDepthSession::MarkSecurePoints(cv::Mat& frame) {
  if (!m_securePoints.load() || !m_ready.load() || !m_engine) return;
  const CMeasurementExchange::CHandle latest = m_dialog->Published();
  if (!latest) return;
  const auto tolerance = static_cast<float>(static_cast<double>(m_dialog->GetTolerance()) / 1000.0);
  veldrin::DrawSecurePoints(m_engine->GetCalibration(), *latest, frame, latest->maxHeight,
                            tolerance);
}

void CDepthSession::OnEngineError(int, const std::string& message) {
  const QString text = QString::fromStdString(message);
  // Queued by name, so that the hand-over goes through Qt alone.
  QMetaObject::invokeMethod(this, "EngineError", Qt::QueuedConnection, Q_ARG(QString, text));
}
