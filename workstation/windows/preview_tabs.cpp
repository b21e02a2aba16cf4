#include "workstation/windows/preview_tabs.h"

#include <QFrame>
#include <QSignalBlocker>
#include <QTabBar>
#include <QToolButton>

#include <algorithm>
#include <memory>
#include <vector>

#include "display/image_window.h"
#include "platform/message_box.h"
#include "resources/string_table.h"
#include "video/opencv_video_engine.h"
#include "workstation/camera_list.h"

CPreviewTabs::CPreviewTabs(QWidget* windowParent, QTabBar* tabBar, QFrame* pane,
                           QToolButton* closeButton, CImageWindow* mainWindow,
                           CKivVideoEngineListener& listener)
    : QObject(windowParent),
      m_pWindowParent(windowParent),
      m_pTabBar(tabBar),
      m_pPane(pane),
      m_pCloseButton(closeButton),
      m_pMainWindow(mainWindow),
      m_listener(listener) {
  connect(m_pTabBar, &QTabBar::currentChanged, this, [this](int t) { OnTabChanged(t); });
  connect(m_pCloseButton, &QToolButton::clicked, this, [this] { ClosePreviewTab(); });
}

CPreviewTabs::~CPreviewTabs() = default;

void CPreviewTabs::SetFrameSize(int width, int height) {
  m_frameWidth = width;
  m_frameHeight = height;
}

void CPreviewTabs::CreateTabs() {
  const QSignalBlocker blocker(m_pTabBar);
  m_pTabBar->addTab(QStringLiteral("Main Camera"));
  m_pTabBar->addTab(QStringLiteral("+"));
  m_pTabBar->setCurrentIndex(0);
}

void CPreviewTabs::Layout() {
  const QRect pane = m_pPane->geometry();
  const int strip = std::max(20, m_pTabBar->sizeHint().height());
  m_pTabBar->setGeometry(pane.left(), pane.top(),
                         std::min(m_pTabBar->sizeHint().width(), pane.width() - 24), strip);
  const QRect pictures = pane.adjusted(1, strip, -1, -1);
  m_pMainWindow->setGeometry(pictures);
  m_pMainWindow->update();
  if (!m_pCameras) return;
  for (const INFO_CAM_DATA& r : m_pCameras->Snapshot()) {
    if (r.nState == CAM_STATE_PREVIEW && r.pWindow) r.pWindow->setGeometry(pictures);
  }
}

void CPreviewTabs::OnTabChanged(int tab) {
  m_nCurrentTab.store(tab);
  if (tab == m_pTabBar->count() - 1) {
    if (!AddPreviewTab()) return;
    emit PreviewAdded();
  }
  ShowTabWindow(tab);
  UpdateCloseButton();
}

void CPreviewTabs::ShowTabWindow(int tab) {
  if (!m_pCameras) return;
  const std::vector<INFO_CAM_DATA> records = m_pCameras->Snapshot();
  for (const INFO_CAM_DATA& r : records) {
    if (r.pWindow) r.pWindow->hide();
  }
  for (const INFO_CAM_DATA& r : records) {
    if (r.nTab == tab) {
      if (r.pWindow) r.pWindow->show();
      break;
    }
  }
}

void CPreviewTabs::UpdateCloseButton() {
  m_pCloseButton->setEnabled(m_pTabBar->currentIndex() != 0 && m_pTabBar->count() != 2);
}

void CPreviewTabs::UpdatePlusTab() {
  const int plus = m_pTabBar->count() - 1;
  if (plus < 1) return;
  const bool spare = m_pCameras && m_pCameras->FindFirstFree() >= 0;
  m_pTabBar->setTabEnabled(plus, spare);
  m_pTabBar->setTabToolTip(plus, spare ? QStringLiteral("Open the next free camera")
                                       : QStringLiteral("No free camera left"));
}

void CPreviewTabs::BackToMain() {
  {
    const QSignalBlocker blocker(m_pTabBar);
    m_pTabBar->setCurrentIndex(0);
  }
  m_nCurrentTab.store(0);
  ShowTabWindow(0);
  UpdateCloseButton();
}

int CPreviewTabs::AddPreviewTab() {
  const int camera = m_pCameras ? m_pCameras->FindFirstFree() : -1;
  if (camera < 0) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
    BackToMain();
    return 0;
  }
  auto window = std::make_unique<CImageWindow>(m_pWindowParent);
  window->setObjectName(QStringLiteral("preview"));
  window->setGeometry(500, 500, 10, 10);
  window->SetImageSize(m_frameWidth, m_frameHeight);
  auto engine = std::make_unique<CKivOpenCVVideoEngine>();
  engine->Setup(camera, m_frameWidth, m_frameHeight, &m_listener);
  if (!engine->Start()) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
    BackToMain();
    return 0;
  }
  const int n = m_pTabBar->count();
  const std::string name = engine->Device(camera).strName;
  m_pCameras->SetCameraAt(camera, n - 1, CAM_STATE_PREVIEW, engine.get(), window.get(),
                          m_pCameras->GetKind(camera));
  window->show();
  m_previews[camera] = SPreview{std::move(window), std::move(engine)};
  {
    const QSignalBlocker blocker(m_pTabBar);
    m_pTabBar->removeTab(n - 1);
    // "Preview Cam 1 (Still B)": the tab names its camera, as the camera list does.
    m_pTabBar->insertTab(
        n - 1, QStringLiteral("Preview ") + QString::fromStdString(veldrin::CameraEntryText(
                                                camera, name, m_pCameras->GetKind(camera))));
    m_pTabBar->insertTab(n, QStringLiteral("+"));
    m_pTabBar->setCurrentIndex(n - 1);
  }
  UpdatePlusTab();
  Layout();
  return 1;
}

void CPreviewTabs::ClosePreviewTab() {
  const int tab = m_pTabBar->currentIndex();
  INFO_CAM_DATA r;
  if (tab == 0 || !m_pCameras || !m_pCameras->FindByTab(tab, r)) return;
  if (r.pEngine) r.pEngine->Stop();
  m_pCameras->SetCameraAt(r.nCamera, -1, CAM_STATE_FREE, nullptr, nullptr,
                          m_pCameras->GetKind(r.nCamera));
  m_previews.erase(r.nCamera);  // joins its capture thread before the window goes
  const int n = m_pTabBar->count();
  for (int u = tab + 1; u <= n - 2; ++u) {
    INFO_CAM_DATA moved;
    if (m_pCameras->FindByTab(u, moved))
      m_pCameras->SetCameraAt(moved.nCamera, u - 1, moved.nState, moved.pEngine, moved.pWindow,
                              moved.nKind);
  }
  {
    const QSignalBlocker blocker(m_pTabBar);
    m_pTabBar->removeTab(tab);
    m_nCurrentTab.store(0);
    ShowTabWindow(0);
    m_pTabBar->setCurrentIndex(0);
  }
  emit PreviewClosed();
  UpdatePlusTab();
  UpdateCloseButton();
}

void CPreviewTabs::StopPreviews() {
  for (auto& [camera, preview] : m_previews) preview.engine->Stop();
}

void CPreviewTabs::ReleasePreviews() {
  for (const INFO_CAM_DATA& r :
       m_pCameras ? m_pCameras->Snapshot() : std::vector<INFO_CAM_DATA>()) {
    if (r.nState == CAM_STATE_PREVIEW)
      m_pCameras->SetCameraAt(r.nCamera, -1, CAM_STATE_FREE, nullptr, nullptr, r.nKind);
  }
  m_previews.clear();
}
