#include "workstation/windows/veldrin_dlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QMenu>
#include <QMetaObject>
#include <QShortcut>
#include <QTimer>

#include <unistd.h>

#include <cstdio>

#include "display/image_window.h"
#include "hostlink/shared_status_block.h"
#include "platform/message_box.h"
#include "resources/string_table.h"
#include "video/opencv_video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/camera_settings.h"
#include "workstation/windows/about_dlg.h"
#include "workstation/windows/app_icons.h"
#include "workstation/windows/calibration_list.h"
#include "workstation/windows/camera_controls.h"
#include "workstation/windows/depth_session.h"
#include "workstation/windows/depth_view_controls.h"
#include "workstation/windows/host_folder_wait.h"
#include "workstation/windows/lens_controls.h"
#include "workstation/windows/open_dialogs.h"
#include "workstation/windows/preview_tabs.h"
#include "workstation/windows/sheet_tools_controls.h"
#include "workstation/windows/simple_splash.h"
#include "workstation/windows/status_line.h"
#include "workstation/windows/veldrin_dlg_template.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr int kHostCheckMs = 500;

}  // namespace

CVeldrinDlg::CVeldrinDlg(std::string instanceName, QWidget* parent)
    : QDialog(parent), m_strInstanceName(std::move(instanceName)) {
  setObjectName(QLatin1String(veldrin::kMainDialogId));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(true);
  setWindowIcon(veldrin::LoadAppIcon(veldrin::IDI_MAIN));
  m_consumer =
      std::make_unique<CColorFrameConsumer>(m_rectification, static_cast<CColorFrameView&>(*this),
                                            static_cast<CQRDetectorListener*>(this));
  m_consumer->SetStatusModel(&m_status);
  m_cameras =
      std::make_unique<CCameraSwitcher>([this] { return SettingsFolder(); }, m_strInstanceName,
                                        static_cast<CKivVideoEngineListener&>(*this));
  m_sheetTools = std::make_unique<CSheetTools>(
      m_rectification, m_status, [this] { return BoardSettings(); },
      [this] {
        if (m_statusLine) m_statusLine->Refresh();
      });
  CreateControls();
}

CVeldrinDlg::~CVeldrinDlg() {
  if (m_cameras->Current() != -1) SaveSettings();
  StopEngines();
  m_previewTabs->ReleasePreviews();
  m_cameras.reset();  // joins the main capture thread
  m_consumer->ReleaseStatusBlock();
  m_consumer->StopQRDetector();
}

// ---------------------------------------------------------------------------------------------
// Controls and layout

void CVeldrinDlg::CreateControls() {
  // The status line takes a row of two lines below the template: it wraps rather than cutting
  // its end off.
  const int statusHeight = 2 * QFontMetrics(font()).height() + 10;
  m_controls = veldrin::CreateVeldrinDlgControls(this, m_layout, statusHeight);
  const SVeldrinDlgControls& c = m_controls;

  m_statusLine = new CStatusLine(m_status, this);
  m_statusLine->setFixedHeight(statusHeight);
  connect(m_statusLine, &CStatusLine::CameraStalledChanged, this,
          [this](bool stalled) { m_cameraControls->ShowStalled(stalled); });

  // The template's area, then the status line's row below it.
  const QSize initial = c.templateSize + QSize(0, statusHeight + 2);
  m_layout.SetInitialSize(initial);
  resize(initial);

  m_previewTabs = new CPreviewTabs(this, c.tabBar, c.tabPane, c.closeTabButton, c.inputWindow,
                                   static_cast<CKivVideoEngineListener&>(*this));
  m_calibrationList = new CCalibrationList(this, c.calibration, m_rectification, *c.inputWindow);
  m_calibrationList->SetStatusModel(&m_status);
  m_lensControls = new CLensControls(
      this, *m_cameras, *m_consumer, m_rectification, [this] { return SettingsFolder(); },
      [this] { return BoardSettings(); },
      [this](const std::string& problem) { m_status.ReportProblem(problem); },
      [this] { m_calibrationList->LensChanged(); });
  m_calibrationList->SetLensState([this] { return m_lensControls->ActiveName(); });

  m_cameraControls = new CCameraControls(
      this, {c.cameraCombo, c.snapshotCheck, c.savePlaneButton, c.inputWindow}, *m_cameras,
      *m_consumer, *m_previewTabs, m_status, [this](bool switched) { OnCameraStarted(switched); },
      [this](const std::string& text) { SetStatus(Q(text)); });
  m_sheetToolsControls = new CSheetToolsControls(
      this, {c.findSheetButton, c.checkAccuracyButton, c.inputWindow, c.outputWindow},
      *m_sheetTools, *m_consumer, *m_calibrationList);
  m_depthControls = new CDepthViewControls(
      this,
      {c.autoCalibCheck, c.heightTrueCheck, c.securePointsCheck, c.closeTabButton, c.inputWindow},
      m_rectification, *m_consumer, *m_calibrationList, *m_previewTabs, m_status,
      [this] { return SettingsFolder(); }, [this](const std::string& text) { SetStatus(Q(text)); });
  connect(c.savePlaneButton, &QPushButton::clicked, this, [this] { SavePlane(); });
  QMenu* commands = c.cameraMenuButton->menu();
  connect(commands, &QMenu::aboutToShow, this,
          [this, commands] { FillCommandMenu(*commands, true); });
  connect(
      c.inputWindow, &CImageWindow::PointsChanged, m_calibrationList,
      [this] { m_calibrationList->OnPointsChanged(); }, Qt::DirectConnection);
  connect(c.inputWindow, &CImageWindow::Clicked, m_calibrationList,
          [this](QPoint) { m_calibrationList->OnInputClicked(); });

  auto* accel = new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_R), this);
  connect(accel, &QShortcut::activated, this, [this] { m_cameraControls->OnConfiguration(); });
  auto* undo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), this);
  connect(undo, &QShortcut::activated, this, [this] { m_calibrationList->Undo(); });
  auto* redo = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), this);
  connect(redo, &QShortcut::activated, this, [this] { m_calibrationList->Redo(); });

  // The host watch does not depend on frames: in snapshot mode none arrive.
  m_hostTimer = new QTimer(this);
  connect(m_hostTimer, &QTimer::timeout, this, [this] { m_consumer->CheckHost(); });

  LayoutStatusLine();
}

void CVeldrinDlg::LayoutStatusLine() {
  if (!m_statusLine) return;
  const int margin = 4;
  const int h = m_statusLine->height();
  m_statusLine->setGeometry(margin, height() - h - margin, width() - 2 * margin, h);
}

void CVeldrinDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  m_layout.Apply(size());
  LayoutStatusLine();
  if (m_previewTabs) m_previewTabs->Layout();
}

void CVeldrinDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QWidget* under = childAt(event->pos());
  CImageWindow* input = m_controls.inputWindow;
  FillCommandMenu(menu, false, under && (under == input || input->isAncestorOf(under)));
  if (menu.isEmpty()) return;
  menu.exec(event->globalPos());
}

// The menu button offers every command; the right-click menu offers Lens… on the input picture
// and the about box, as it always did.
void CVeldrinDlg::FillCommandMenu(QMenu& menu, bool all, bool onInput) {
  menu.clear();
  if (all) {
    menu.addAction(QStringLiteral("Camera configuration"), this,
                   [this] { m_cameraControls->OnConfiguration(); });
  }
  if (all || onInput) m_lensControls->AddMenuAction(menu, all);
  const std::string& text = veldrin::LoadStringResource(veldrin::IDS_ABOUTBOX);
  if (!text.empty()) menu.addAction(Q(text), this, [this] { CAboutDlg(this).exec(); });
}

bool CVeldrinDlg::LensOffered() const { return m_lensControls->IsOffered(); }

// ---------------------------------------------------------------------------------------------
// Start-up and shut-down

int CVeldrinDlg::DoModal() {
  OnInitDialog();
  if (m_ended) return m_endResult;
  show();
  return exec();
}

void CVeldrinDlg::OnInitDialog() {
  // Exactly the instance name: tools find the window by its title.
  setWindowTitle(Q(m_strInstanceName));

  // A name that cannot give the picture's file name could never publish: refused before anything
  // is touched. No box: it would wait under an unattended host for nobody.
  if (!m_strInstanceName.empty() && !CSharedStatusBlock::IsValidInstanceName(m_strInstanceName)) {
    const std::string text = "The instance name \"" + m_strInstanceName +
                             "\" cannot name the picture file: it must not hold \"/\", be \".\" "
                             "or \"..\", or be longer than 251 bytes.";
    std::fprintf(stderr, "veldrin: %s\n", text.c_str());
    EndDialog(-1);
    return;
  }

  auto block = std::make_unique<CSharedStatusBlock>(m_strInstanceName, 0);
  // Two tools would write the same picture: the second leaves the block, the folder and the
  // camera alone and ends. No box: it would wait under an unattended host for nobody.
  if (block->IsServedByAnotherTool()) {
    std::fprintf(stderr, "veldrin: another tool serves the instance %s\n",
                 m_strInstanceName.c_str());
    EndDialog(-1);
    return;
  }
  // Without the host nothing can work; one message says why and how the tool is started.
  if (m_strInstanceName.empty() || block->IsOpen() == 0) {
    std::string text = veldrin::LoadStringResource(veldrin::IDS_CONNECTION_FAILED) + "\n\n";
    if (!m_strInstanceName.empty())
      text += "No host shares the instance \"" + m_strInstanceName + "\". ";
    text += "The tool is started by the host, with the instance name as its argument.";
    AfxMessageBox(text, MB_ICONERROR | MB_OK);
    EndDialog(-1);
    return;
  }
  m_consumer->SetStatusBlock(std::move(block));
  // The host's check runs while the start waits for a folder not named yet.
  if (SettingsFolder().empty()) {
    m_hostTimer->start(kHostCheckMs);
    veldrin::WaitForHostFolder([this] { return SettingsFolder(); }, [this] { return m_ended; });
    if (m_ended) return;
  }
  const std::string folder = SettingsFolder();
  m_status.SetHostAttached(m_strInstanceName, folder);
  if (::access(folder.c_str(), W_OK) != 0)
    m_status.ReportProblem("The host's folder " + folder +
                           " is not writable: nothing can be saved or published.");
  m_hostTimer->start(kHostCheckMs);

  m_controls.securePointsCheck->setEnabled(false);
  ReadCameraSettings();

  std::unique_ptr<CSimpleSplash> splash = veldrin::ShowSplash(nullptr, 200);

  m_rcInitialClient = m_layout.InitialSize();
  setMinimumSize(m_rcInitialClient);

  const QSize frame = FrameSize();
  m_controls.inputWindow->SetImageSize(frame.width(), frame.height());
  m_controls.outputWindow->SetImageSize(frame.width(), frame.height());

  m_previewTabs->CreateTabs();

  m_rectification.SetDefaultCorners();
  m_controls.inputWindow->SetPoints(m_rectification.GetCorners());

  const bool listed = m_cameras->ListCameras();
  m_consumer->SetCameraList(m_cameras->List());
  m_previewTabs->SetCameraList(m_cameras->List());
  if (!listed) {
    // One cause, one message: there is no camera to ask about or to open.
    splash.reset();
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_CAMERA_NOT_FOUND);
    EndDialog(-1);
    return;
  }
  m_cameraControls->FillCombo();
  bool declined = false;
  std::string notice;
  const int index = m_cameras->ReadPreferredCamera(declined, notice);
  if (!notice.empty()) m_status.ReportNotice(notice);
  if (SwitchCamera(index)) {
    m_cameraControls->ShowCurrent();
  } else if (!declined) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
  }
  m_previewTabs->UpdatePlusTab();

  const CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  m_calibrationList->Open(SettingsFolder(), settings.ReadCalibIndex(), settings.ReadCalibName());
  // On a depth camera the table plane's corners are where the measuring starts, not the
  // calibration selection (which is hidden there).
  if (DepthSession()) LoadPlane2D(SettingsFolder());

  splash.reset();
  m_previewTabs->Layout();
  m_previewTabs->UpdateCloseButton();
  if (m_cameras->Current() == -1) EndDialog(-1);
}

void CVeldrinDlg::EndDialog(int result) { done(result); }

// The last request wins, as when a cancelled initialisation later finds no camera either.
void CVeldrinDlg::done(int result) {
  m_ended = true;
  m_endResult = result;
  QDialog::done(result);
  emit Ended(result);
}

// Escape does nothing: one keystroke must not close the tool with the operator's work.
void CVeldrinDlg::reject() {}

void CVeldrinDlg::closeEvent(QCloseEvent* event) {
  // On a depth camera the corners come from the plane files and auto calibration, and the
  // calibration list is hidden: there is nothing the operator could have meant to save.
  if (!m_ended && !DepthSession() && m_calibrationList->IsModified() &&
      AfxMessageBox("Discard the unsaved corner changes?", MB_YESNO | MB_DEFBUTTON2) != IDYES) {
    event->ignore();
    return;
  }
  m_hostTimer->stop();
  StopEngines();
  event->accept();
  done(QDialog::Accepted);
}

// Stops every engine. Their threads never wait for this thread, so stopping is quick and the
// engines' destructors can join them.
void CVeldrinDlg::StopEngines() {
  if (m_cameras && m_cameras->Engine()) m_cameras->Engine()->Stop();
  m_previewTabs->StopPreviews();
  m_depthControls->Stop();
}

void CVeldrinDlg::HostGone() {
  QMetaObject::invokeMethod(this, "HostGoneQueued", Qt::QueuedConnection);
}

// Nobody is left to answer a box (a decoded code's, typically): the scan shows no further one,
// the open ones close, and the dialog ends.
void CVeldrinDlg::OnHostGone() {
  m_consumer->StopQRDetector();
  veldrin::CloseOpenMessageBoxes();
  veldrin::CloseOpenDialogs(this);
  EndDialog(-1);
}

// A stop from outside (SIGTERM, SIGINT) ends as a closed window does, but asks nothing: open
// dialogs are cancelled and unsaved corners are not asked about, as nobody may be there.
void CVeldrinDlg::OnStopRequested() {
  veldrin::CloseOpenMessageBoxes();
  veldrin::CloseOpenDialogs(this);
  m_hostTimer->stop();
  StopEngines();
  done(QDialog::Accepted);
}

// ---------------------------------------------------------------------------------------------
// Settings

std::string CVeldrinDlg::SettingsFolder() const { return m_consumer->GetFolder(); }

CCameraSettings CVeldrinDlg::BoardSettings() const {
  return CCameraSettings(SettingsFolder(), m_strInstanceName);
}

void CVeldrinDlg::ReadCameraSettings() {
  std::string problem;
  m_cameras->ReadSettings(problem);
  if (!problem.empty()) m_status.ReportProblem(problem);
  m_consumer->SetFrameDivisor(m_cameras->FrameDivisor());
  m_depthControls->ReadHeightTrue(m_strInstanceName);
  m_rectification.ApplyCameraSettings(m_cameras->FrameWidth(), m_cameras->FrameHeight());
  m_previewTabs->SetFrameSize(m_cameras->FrameWidth(), m_cameras->FrameHeight());
}

// At the end the window is gone: a failure can only be told on the error output.
void CVeldrinDlg::SaveSettings() {
  std::string error;
  if (!m_cameras->SaveCamera(error)) std::fprintf(stderr, "veldrin: %s\n", error.c_str());
  if (!m_cameras->SaveCalibration(m_calibrationList->Index(), m_calibrationList->Name(), error))
    std::fprintf(stderr, "veldrin: %s\n", error.c_str());
}

// ---------------------------------------------------------------------------------------------
// Cameras

int CVeldrinDlg::SwitchCamera(int index) { return m_cameraControls->Switch(index); }

// A camera runs again; a new main camera also brings its depth side and lens.
void CVeldrinDlg::OnCameraStarted(bool switched) {
  m_sheetTools->ClearResult();  // found with the camera before
  FollowDeliveredSize();
  if (!switched) return;
  const int index = m_cameras->Current();
  m_depthControls->Stop();
  if (m_cameras->List()->GetKind(index) == veldrin::kCamKindDepth) {
    m_cameras->Engine()->Stop();
    m_depthControls->Show(
        m_depthControls->Start(index, m_cameras->FrameWidth(), m_cameras->FrameHeight()));
    if (!m_cameras->Engine()->Start())
      m_status.ReportProblem("The colour camera did not start again.");
  } else {
    m_depthControls->Show(false);
  }
  m_previewTabs->UpdatePlusTab();
  m_lensControls->LoadForCamera();
}

void CVeldrinDlg::MarkSecurePoints(cv::Mat& frame) { m_depthControls->MarkSecurePoints(frame); }

bool CVeldrinDlg::RectifyHeightTrue(const cv::Mat& frame, cv::Mat& out) {
  return m_depthControls->RectifyHeightTrue(frame, out);
}

std::shared_ptr<const std::vector<SMediaObject>> CVeldrinDlg::HostObjects() {
  return m_depthControls->HostObjects();
}

void CVeldrinDlg::FollowDeliveredSize() {
  const cv::Size delivered = m_cameras->Engine()->GetResolution();
  cv::Size previous;
  if (m_rectification.FollowFrameSize(delivered.width, delivered.height, &previous))
    OnFrameSizeChanged(previous, delivered);
}

void CVeldrinDlg::FrameSizeChanged(cv::Size previous, cv::Size current) {
  QMetaObject::invokeMethod(this, "FrameSizeQueued", Qt::QueuedConnection,
                            Q_ARG(QSize, QSize(previous.width, previous.height)),
                            Q_ARG(QSize, QSize(current.width, current.height)));
}

void CVeldrinDlg::FrameSizeQueued(QSize previous, QSize current) {
  OnFrameSizeChanged(cv::Size(previous.width(), previous.height()),
                     cv::Size(current.width(), current.height()));
}

// The rectification has already scaled the corners and rebuilt the output for the new size.
void CVeldrinDlg::OnFrameSizeChanged(cv::Size previous, cv::Size current) {
  m_controls.inputWindow->SetImageSize(current.width, current.height);
  const cv::Size out = m_rectification.GetOutputSize();
  m_controls.outputWindow->SetImageSize(out.width, out.height);
  if (previous.width > 0 && previous.height > 0) {
    m_calibrationList->FollowScaledCorners(
        static_cast<float>(current.width) / static_cast<float>(previous.width),
        static_cast<float>(current.height) / static_cast<float>(previous.height));
  }
}

// ---------------------------------------------------------------------------------------------
// Frames (capture threads)

int CVeldrinDlg::CurrentTab() const { return m_previewTabs->CurrentTab(); }

void CVeldrinDlg::OnVideoFrame(int cameraIndex, cv::Mat* frame) {
  m_consumer->OnVideoFrame(cameraIndex, frame);
}

void CVeldrinDlg::OnDepthFrame(int, cv::Mat*, cv::Mat*, const SVertex*) {}

void CVeldrinDlg::OnQRCodeDetected(std::string text) { AfxMessageBox(text, MB_OK); }

void CVeldrinDlg::ShowInWindow(CImageWindow* window, const cv::Mat& frame) {
  window->SetImageSize(frame.cols, frame.rows);  // a preview shows what its camera delivers
  window->SetImage(frame);
}

void CVeldrinDlg::ShowInput(const cv::Mat& frame) { m_controls.inputWindow->SetImage(frame); }

void CVeldrinDlg::ShowOutput(const cv::Mat& picture) {
  if (m_sheetTools->IsOutputHeld()) return;  // the accuracy deviations are on show
  m_depthControls->ShowOutput(picture, *m_controls.outputWindow);
}

// ---------------------------------------------------------------------------------------------
// Status line

// Depth and configuration errors share the status line's problem slot with the sheet tools: each
// replaces what was said before, as any report does.
void CVeldrinDlg::SetStatus(const QString& text) {
  if (text.isEmpty()) {
    m_status.ClearProblem();
  } else {
    m_status.ReportProblem(text.toStdString());
  }
  if (m_statusLine) m_statusLine->Refresh();
}

QString CVeldrinDlg::StatusText() const { return QString::fromStdString(m_status.Problem()); }

void CVeldrinDlg::SetOutputImageSize(int width, int height) {
  m_controls.outputWindow->SetImageSize(width, height);
}

void CVeldrinDlg::MediaSizeChanged(int, int) {
  QMetaObject::invokeMethod(this, "MediaSizeQueued", Qt::QueuedConnection);
}

void CVeldrinDlg::MediaSizeQueued() {
  m_controls.mediaWidthLabel->setText(Q(m_rectification.FormatMediaWidthLabel()));
  m_controls.mediaHeightLabel->setText(Q(m_rectification.FormatMediaHeightLabel()));
  m_sheetTools->ClearResult();
}

// ---------------------------------------------------------------------------------------------
// Plane

int CVeldrinDlg::CalibIndex() const { return m_calibrationList->Index(); }

CDepthSession* CVeldrinDlg::DepthSession() const { return m_depthControls->Session(); }

// The corners on the empty table, kept for the depth camera's start and for leaving auto
// calibration. Without a depth view only the 2D file is written.
void CVeldrinDlg::SavePlane() { m_depthControls->SavePlane(); }

int CVeldrinDlg::LoadPlane2D(const std::string& folder) {
  return m_depthControls->LoadPlane2D(folder) ? 1 : 0;
}
