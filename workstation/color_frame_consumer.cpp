#include "workstation/color_frame_consumer.h"

#include <exception>
#include <system_error>

#include "hostlink/shared_status_block.h"
#include "markers/qr_detector.h"
#include "workstation/camera_list.h"
#include "workstation/rectification.h"
#include "workstation/status_model.h"

CColorFrameConsumer::CColorFrameConsumer(CRectification& rectification, CColorFrameView& view,
                                         CQRDetectorListener* qrListener)
    : m_rectification(rectification), m_view(view), m_qrListener(qrListener) {}

CColorFrameConsumer::~CColorFrameConsumer() { StopQRDetector(); }

void CColorFrameConsumer::SetStatusBlock(std::unique_ptr<CSharedStatusBlock> block) {
  // An unopened block reads a host count of 0: kept, it would report a host that never was as gone.
  if (block && !block->IsOpen()) block.reset();
  std::lock_guard lock(m_blockMutex);
  m_pStatusBlock = std::move(block);
}

std::shared_ptr<CSharedStatusBlock> CColorFrameConsumer::Block() const {
  std::lock_guard lock(m_blockMutex);
  return m_pStatusBlock;
}

bool CColorFrameConsumer::HasStatusBlock() const {
  const auto block = Block();
  return block && block->IsOpen();
}

// The folder is read from shared memory; only the pointer and the remembered folder need the
// lock. While the host rewrites the folder it reads empty: the last one it published stands.
std::string CColorFrameConsumer::GetFolder() const {
  const auto block = Block();
  const std::string folder = block ? block->GetFolder() : std::string();
  std::lock_guard lock(m_blockMutex);
  if (!folder.empty()) m_lastFolder = folder;
  return m_lastFolder;
}

// A publish still under way on a capture thread keeps its share of the block; the attachment is
// released when that ends.
void CColorFrameConsumer::ReleaseStatusBlock() {
  GetFolder();
  std::lock_guard lock(m_blockMutex);
  m_pStatusBlock.reset();
}

// The block is read outside the lock; of several threads that see the host gone (capture
// threads, the UI timer) only the one that drops the attachment reports it.
void CColorFrameConsumer::CheckHost() {
  const auto block = Block();
  if (!block || block->GetHostCount() != 0) return;
  GetFolder();
  bool gone = false;
  {
    std::lock_guard lock(m_blockMutex);
    gone = m_pStatusBlock == block;
    if (gone) m_pStatusBlock.reset();
  }
  if (!gone) return;
  if (m_status) m_status->SetHostDetached();
  m_view.HostGone();
}

// One counter for every camera: every n-th call goes on, whichever camera made it.
bool CColorFrameConsumer::PassesDivisor() {
  const int divisor = m_frameDivisor.load();
  int current = m_frameSkip.load();
  int next = 0;
  bool passes = false;
  do {
    passes = current + 1 >= divisor;
    next = passes ? 0 : current + 1;
  } while (!m_frameSkip.compare_exchange_weak(current, next));
  return passes;
}

void CColorFrameConsumer::OnVideoFrame(int cameraIndex, cv::Mat* frame) {
  try {
    ProcessFrame(cameraIndex, frame);
  } catch (const std::exception& e) {
    FrameFailed(e.what());
  } catch (...) {
    FrameFailed("unknown error");
  }
}

void CColorFrameConsumer::FrameFailed(const char* what) {
  // Reported once: a fault that repeats every frame would otherwise flood the status line.
  if (m_frameFailures.fetch_add(1) != 0 || !m_status) return;
  try {
    m_status->ReportProblem(std::string("A camera frame could not be processed: ") + what);
  } catch (...) {
    // Nothing more can be said; the count stands.
  }
}

void CColorFrameConsumer::Publish(const cv::Mat& picture) {
  const auto block = Block();
  if (!block) return;
  // The rectified picture is one block of rows already; anything else is copied into one.
  const cv::Mat output = picture.isContinuous() ? picture : picture.clone();
  const std::shared_ptr<const std::vector<SMediaObject>> objects = m_view.HostObjects();
  std::lock_guard lock(m_publishMutex);
  // The objects of this picture are in place before it is announced, and only while the host
  // has taken the last one, so the file it reads always belongs to the picture it reads.
  if (objects && block->IsImageReady() == 0) {
    const std::string folder = block->GetFolder();
    // A failed write does not hold the picture back: the host then reads the previous objects
    // file, or none. Said once, until a write succeeds.
    const bool written =
        folder.empty() || veldrin::WriteObjectsFile(folder, m_announced + 1, *objects);
    if (written && !m_objectsProblem.empty()) {
      if (m_status) m_status->ClearProblem(m_objectsProblem);
      m_objectsProblem.clear();
    } else if (!written && m_objectsProblem.empty()) {
      m_objectsProblem =
          "The objects cannot be written to " + folder + veldrin::kObjectsFileName + ".";
      if (m_status) m_status->ReportProblem(m_objectsProblem);
    }
  }
  if (block->PublishImage(output.cols, output.rows, output.data)) {
    ++m_announced;
    if (!m_status) return;
    m_status->CountPublished();
    if (!m_publishProblem.empty()) {
      m_status->ClearProblem(m_publishProblem);
      m_publishProblem.clear();
    }
    return;
  }
  const int error = block->GetLastPublishError();
  // Nothing tried (the host has not taken the last picture), or the folder reads empty for a
  // moment while the host rewrites it: not a failure to report.
  if (error == 0 || !m_status) return;
  const std::string folder = block->GetFolder();
  if (folder.empty()) return;
  std::string problem = "The picture cannot be written to the host's folder " + folder + ": " +
                        std::generic_category().message(error) + ".";
  if (problem == m_publishProblem) return;  // said already; a report since then stands
  m_publishProblem = std::move(problem);
  m_status->ReportProblem(m_publishProblem);
}

void CColorFrameConsumer::ProcessFrame(int cameraIndex, cv::Mat* frame) {
  if (!frame || !m_cameras || !PassesDivisor()) return;
  m_lastColorWidth.store(frame->cols);
  m_lastColorHeight.store(frame->rows);

  INFO_CAM_DATA record;
  if (!m_cameras->GetCameraAt(cameraIndex, record)) return;  // not ours: dropped
  const int tab = m_view.CurrentTab();
  if (record.nState == veldrin::kCamStatePreview) {
    INFO_CAM_DATA shown;
    if (m_cameras->FindByTab(tab, shown) && shown.nCamera == cameraIndex && shown.pWindow &&
        !frame->empty())
      m_view.ShowInWindow(shown.pWindow, *frame);
    return;
  }

  CheckHost();
  if (auto block = Block()) {
    int heightMm = 0;
    int widthMm = 0;
    if (block->GetMediaSize(heightMm, widthMm) &&
        m_rectification.UpdateMediaSize(widthMm, heightMm)) {
      if (m_status) m_status->SetMediaSize(widthMm, heightMm);
      m_view.MediaSizeChanged(widthMm, heightMm);
      const cv::Size out = m_rectification.GetOutputSize();
      m_view.SetOutputImageSize(out.width, out.height);
    }
  }

  if (frame->empty()) return;
  if (m_status) m_status->CountFrame(frame->cols, frame->rows);

  // The pictures follow the size the camera delivers, whatever size was asked for.
  cv::Size previous;
  if (m_rectification.FollowFrameSize(frame->cols, frame->rows, &previous)) {
    const cv::Size out = m_rectification.GetOutputSize();
    m_view.SetOutputImageSize(out.width, out.height);
    m_view.FrameSizeChanged(previous, frame->size());
  }

  // One main-camera frame at a time through the buffers below, which are reused frame after
  // frame: in steady state the path allocates nothing.
  std::lock_guard outputLock(m_outputMutex);

  // With a lens for this camera and size, the input window and the kept frame show the corrected
  // picture, the one the corners are placed on; the rectification reads the camera frame itself.
  const bool corrected = m_rectification.CorrectLens(*frame, m_corrected);
  const cv::Mat& seen = corrected ? m_corrected : *frame;

  INFO_CAM_DATA shown;
  if (m_cameras->FindByTab(tab, shown) && shown.nCamera == cameraIndex) m_view.ShowInput(seen);

  m_view.MarkSecurePoints(*frame);

  if (m_view.RectifyHeightTrue(*frame, m_output) || m_rectification.Rectify(*frame, m_output)) {
    m_view.ShowOutput(m_output);
    Publish(m_output);
  }

  {
    std::lock_guard lock(m_frameMutex);
    // GetLastFrame hands out copies, so the kept buffer is never shared and is reused.
    (corrected ? m_corrected : *frame).copyTo(m_lastFrame);
    if (m_keepRawFrame.load()) frame->copyTo(m_lastRawFrame);
  }

  if (m_qrEnabled.load()) {
    std::lock_guard lock(m_qrMutex);
    if (!m_qrDetector)
      m_qrDetector = std::make_unique<CQRDetector>(m_qrListener, CQRDetector::kEveryFrame);
    m_qrDetector->Kick(frame);
  }
}

cv::Mat CColorFrameConsumer::GetLastFrame() const {
  std::lock_guard lock(m_frameMutex);
  return m_lastFrame.clone();
}

void CColorFrameConsumer::SetKeepRawFrame(bool keep) {
  m_keepRawFrame.store(keep);
  if (keep) return;
  std::lock_guard lock(m_frameMutex);
  m_lastRawFrame.release();
}

cv::Mat CColorFrameConsumer::GetLastRawFrame() const {
  std::lock_guard lock(m_frameMutex);
  return m_lastRawFrame.clone();
}

void CColorFrameConsumer::StopQRDetector() {
  std::unique_ptr<CQRDetector> detector;
  {
    std::lock_guard lock(m_qrMutex);
    detector = std::move(m_qrDetector);
  }
}
