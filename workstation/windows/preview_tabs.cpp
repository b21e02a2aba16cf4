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
      m_windowParent(windowParent),
      m_tabBar(tabBar),
      m_pane(pane),
      m_closeButton(closeButton),
      m_mainWindow(mainWindow),
      m_listener(listener) {
  connect(m_tabBar, &QTabBar::currentChanged, this, [this](int t) { OnTabChanged(t); });
  connect(m_closeButton, &QToolButton::clicked, this, [this] { ClosePreviewTab(); });
}

CPreviewTabs::~CPreviewTabs() = default;

void CPreviewTabs::SetFrameSize(int width, int height) {
  m_frameWidth = width;
  m_frameHeight = height;
}

void CPreviewTabs::CreateTabs() {
  const QSignalBlocker blocker(m_tabBar);
  m_tabBar->addTab(QStringLiteral("Main Camera"));
  m_tabBar->addTab(QStringLiteral("+"));
  m_tabBar->setCurrentIndex(0);
}

void CPreviewTabs::Layout() {
  const QRect pane = m_pane->geometry();
  const int strip = std::max(20, m_tabBar->sizeHint().height());
  m_tabBar->setGeometry(pane.left(), pane.top(),
                        std::min(m_tabBar->sizeHint().width(), pane.width() - 24), strip);
  const QRect pictures = pane.adjusted(1, strip, -1, -1);
  m_mainWindow->setGeometry(pictures);
  m_mainWindow->update();
  if (!m_cameras) return;
  for (const INFO_CAM_DATA& r : m_cameras->Snapshot()) {
    if (r.nState == veldrin::kCamStatePreview && r.pWindow) r.pWindow->setGeometry(pictures);
  }
}

void CPreviewTabs::OnTabChanged(int tab) {
  m_currentTab.store(tab);
  if (tab == m_tabBar->count() - 1) {
    if (!AddPreviewTab()) return;
    emit PreviewAdded();
  }
  ShowTabWindow(tab);
  UpdateCloseButton();
}

void CPreviewTabs::ShowTabWindow(int tab) {
  if (!m_cameras) return;
  const std::vector<INFO_CAM_DATA> records = m_cameras->Snapshot();
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
  m_closeButton->setEnabled(m_tabBar->currentIndex() != 0 && m_tabBar->count() != 2);
}

void CPreviewTabs::UpdatePlusTab() {
  const int plus = m_tabBar->count() - 1;
  if (plus < 1) return;
  const bool spare = m_cameras && m_cameras->FindFirstFree() >= 0;
  m_tabBar->setTabEnabled(plus, spare);
  m_tabBar->setTabToolTip(plus, spare ? QStringLiteral("Open the next free camera")
                                      : QStringLiteral("No free camera left"));
}

void CPreviewTabs::BackToMain() {
  {
    const QSignalBlocker blocker(m_tabBar);
    m_tabBar->setCurrentIndex(0);
  }
  m_currentTab.store(0);
  ShowTabWindow(0);
  UpdateCloseButton();
}

int CPreviewTabs::AddPreviewTab() {
  const int camera = m_cameras ? m_cameras->FindFirstFree() : -1;
  if (camera < 0) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
    BackToMain();
    return 0;
  }
  auto window = std::make_unique<CImageWindow>(m_windowParent);
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
  const int n = m_tabBar->count();
  const std::string name = engine->Device(camera).strName;
  m_cameras->SetCameraAt(camera, n - 1, veldrin::kCamStatePreview, engine.get(), window.get(),
                         m_cameras->GetKind(camera));
  window->show();
  m_previews[camera] = SPreview{std::move(window), std::move(engine)};
  {
    const QSignalBlocker blocker(m_tabBar);
    m_tabBar->removeTab(n - 1);
    // "Preview Cam 1 (Still B)": the tab names its camera, as the camera list does.
    m_tabBar->insertTab(
        n - 1, QStringLiteral("Preview ") + QString::fromStdString(veldrin::CameraEntryText(
                                                camera, name, m_cameras->GetKind(camera))));
    m_tabBar->insertTab(n, QStringLiteral("+"));
    m_tabBar->setCurrentIndex(n - 1);
  }
  UpdatePlusTab();
  Layout();
  return 1;
}

void CPreviewTabs::ClosePreviewTab() {
  const int tab = m_tabBar->currentIndex();
  INFO_CAM_DATA r;
  if (tab == 0 || !m_cameras || !m_cameras->FindByTab(tab, r)) return;
  if (r.pEngine) r.pEngine->Stop();
  m_cameras->SetCameraAt(r.nCamera, -1, veldrin::kCamStateFree, nullptr, nullptr,
                         m_cameras->GetKind(r.nCamera));
  m_previews.erase(r.nCamera);  // joins its capture thread before the window goes
  const int n = m_tabBar->count();
  for (int u = tab + 1; u <= n - 2; ++u) {
    INFO_CAM_DATA moved;
    if (m_cameras->FindByTab(u, moved))
      m_cameras->SetCameraAt(moved.nCamera, u - 1, moved.nState, moved.pEngine, moved.pWindow,
                             moved.nKind);
  }
  {
    const QSignalBlocker blocker(m_tabBar);
    m_tabBar->removeTab(tab);
    m_currentTab.store(0);
    ShowTabWindow(0);
    m_tabBar->setCurrentIndex(0);
  }
  emit PreviewClosed();
  UpdatePlusTab();
  UpdateCloseButton();
}

void CPreviewTabs::StopPreviews() {
  for (auto& [camera, preview] : m_previews) preview.engine->Stop();
}

void CPreviewTabs::ReleasePreviews() {
  for (const INFO_CAM_DATA& r : m_cameras ? m_cameras->Snapshot() : std::vector<INFO_CAM_DATA>()) {
    if (r.nState == veldrin::kCamStatePreview)
      m_cameras->SetCameraAt(r.nCamera, -1, veldrin::kCamStateFree, nullptr, nullptr, r.nKind);
  }
  m_previews.clear();
}
