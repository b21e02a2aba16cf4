#include "workstation/color_frame_consumer.h"

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

bool CColorFrameConsumer::HasStatusBlock() const {
  std::lock_guard lock(m_blockMutex);
  return m_pStatusBlock && m_pStatusBlock->IsOpen();
}

std::string CColorFrameConsumer::GetFolder() const {
  std::lock_guard lock(m_blockMutex);
  if (m_pStatusBlock) m_strLastFolder = m_pStatusBlock->GetFolder();
  return m_strLastFolder;
}

void CColorFrameConsumer::ReleaseStatusBlock() {
  std::lock_guard lock(m_blockMutex);
  if (m_pStatusBlock) m_strLastFolder = m_pStatusBlock->GetFolder();
  m_pStatusBlock.reset();
}

void CColorFrameConsumer::CheckHost() {
  std::lock_guard lock(m_blockMutex);
  CheckHostLocked();
}

void CColorFrameConsumer::CheckHostLocked() {
  if (m_pStatusBlock && m_pStatusBlock->GetHostCount() == 0) {
    m_strLastFolder = m_pStatusBlock->GetFolder();
    m_pStatusBlock.reset();
    if (m_pStatus) m_pStatus->SetHostDetached();
    m_view.HostGone();
  }
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
  if (!frame || !m_pCameras || !PassesDivisor()) return;
  m_lastColorWidth.store(frame->cols);
  m_lastColorHeight.store(frame->rows);

  INFO_CAM_DATA record;
  if (!m_pCameras->GetCameraAt(cameraIndex, record)) return;  // not ours: dropped
  const int tab = m_view.CurrentTab();
  if (record.nState == CAM_STATE_PREVIEW) {
    INFO_CAM_DATA shown;
    if (m_pCameras->FindByTab(tab, shown) && shown.nCamera == cameraIndex && shown.pWindow &&
        !frame->empty())
      m_view.ShowInWindow(shown.pWindow, *frame);
    return;
  }

  {
    std::lock_guard lock(m_blockMutex);
    CheckHostLocked();
    if (m_pStatusBlock) {
      int heightMm = 0;
      int widthMm = 0;
      if (m_pStatusBlock->GetMediaSize(heightMm, widthMm) &&
          m_rectification.UpdateMediaSize(widthMm, heightMm)) {
        if (m_pStatus) m_pStatus->SetMediaSize(widthMm, heightMm);
        m_view.MediaSizeChanged(widthMm, heightMm);
        const cv::Size out = m_rectification.GetOutputSize();
        m_view.SetOutputImageSize(out.width, out.height);
      }
    }
  }

  if (frame->empty()) return;
  if (m_pStatus) m_pStatus->CountFrame(frame->cols, frame->rows);

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
  if (m_pCameras->FindByTab(tab, shown) && shown.nCamera == cameraIndex) m_view.ShowInput(seen);

  m_view.MarkSecurePoints(*frame);

  if (m_rectification.Rectify(*frame, m_output)) {
    m_view.ShowOutput(m_output);
    Publish(m_output);
  }

  {
    std::lock_guard lock(m_frameMutex);
    // GetLastFrame hands out copies, so the kept buffer is never shared and is reused.
    (corrected ? m_corrected : *frame).copyTo(m_lastFrame);
    if (m_bKeepRawFrame.load()) frame->copyTo(m_lastRawFrame);
  }

  if (m_qrEnabled.load()) {
    std::lock_guard lock(m_qrMutex);
    if (!m_pQRDetector)
      m_pQRDetector = std::make_unique<CQRDetector>(m_qrListener, CQRDetector::kEveryFrame);
    m_pQRDetector->Kick(frame);
  }
}

void CColorFrameConsumer::Publish(const cv::Mat& picture) {
  const cv::Mat output = picture.isContinuous() ? picture : picture.clone();
  std::lock_guard lock(m_blockMutex);
  if (!m_pStatusBlock) return;
  // While the host has not taken the previous picture nothing is written; when it has and
  // nothing could be written, the folder is the problem.
  const bool hostWaiting = m_pStatusBlock->IsImageReady() == 0;
  const bool published = m_pStatusBlock->PublishImage(output.cols, output.rows, output.data) != 0;
  if (!m_pStatus) return;
  if (published) {
    m_pStatus->CountPublished();
    if (!m_strPublishProblem.empty()) {
      m_pStatus->ClearProblem(m_strPublishProblem);
      m_strPublishProblem.clear();
    }
  } else if (hostWaiting && m_strPublishProblem.empty()) {
    m_strPublishProblem = "The picture cannot be written to the host's folder " +
                          m_pStatusBlock->GetFolder() + " (is it writable?).";
    m_pStatus->ReportProblem(m_strPublishProblem);
  }
}

cv::Mat CColorFrameConsumer::GetLastFrame() const {
  std::lock_guard lock(m_frameMutex);
  return m_lastFrame.clone();
}

void CColorFrameConsumer::SetKeepRawFrame(bool keep) {
  m_bKeepRawFrame.store(keep);
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
    detector = std::move(m_pQRDetector);
  }
}
