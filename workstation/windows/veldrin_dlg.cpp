#include "workstation/windows/veldrin_dlg.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGraphicsColorizeEffect>
#include <QGroupBox>
#include <QMenu>
#include <QMetaObject>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QStyle>
#include <QTimer>

#include <unistd.h>
#include <chrono>

#include <cstdio>

#include "depth/plane_files.h"
#include "depth/view/depth_camera_dialog.h"
#include "display/image_window.h"
#include "hostlink/shared_status_block.h"
#include "markers/sheet_finder.h"
#include "platform/message_box.h"
#include "resources/string_table.h"
#include "video/opencv_video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/camera_settings.h"
#include "workstation/lens.h"
#include "workstation/windows/about_dlg.h"
#include "workstation/windows/app_icons.h"
#include "workstation/windows/board_dlg.h"
#include "workstation/windows/calibration_list.h"
#include "workstation/windows/camera_configuration_dlg.h"
#include "workstation/windows/depth_session.h"
#include "workstation/windows/lens_dlg.h"
#include "workstation/windows/preview_tabs.h"
#include "workstation/windows/simple_splash.h"
#include "workstation/windows/status_line.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr int kIconRemove = veldrin::IDI_REMOVE;
constexpr int kIconSave = veldrin::IDI_SAVE;
constexpr int kHostCheckMs = 500;
// The window must fit a 1024 x 768 screen with its frame and a panel.
constexpr int kMaxInitialWidth = 1000;
constexpr int kMaxInitialHeight = 700;
constexpr const char* kNoDepthFrameYet =
    "The depth camera has not measured the table yet: the plane was not saved.";

}  // namespace

CVeldrinDlg::CVeldrinDlg(std::string instanceName, QWidget* parent)
    : QDialog(parent), m_strInstanceName(std::move(instanceName)) {
  setObjectName(QStringLiteral("102"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(true);
  setWindowIcon(veldrin::LoadAppIcon(veldrin::IDI_MAIN));
  m_pConsumer =
      std::make_unique<CColorFrameConsumer>(m_rectification, static_cast<CColorFrameView&>(*this),
                                            static_cast<CQRDetectorListener*>(this));
  m_pConsumer->SetStatusModel(&m_status);
  CreateControls();
}

CVeldrinDlg::~CVeldrinDlg() {
  if (m_nCurrentCamera != -1) SaveSettings();
  StopEngines();
  m_pWebcamEngine.reset();  // joins the capture thread
  m_pConsumer->ReleaseStatusBlock();
  m_pPreviewTabs->ReleasePreviews();
  m_pConsumer->StopQRDetector();
}

// ---------------------------------------------------------------------------------------------
// Controls and layout

void CVeldrinDlg::CreateControls() {
  // The template's units follow the font; with a large font the window would not fit a small
  // screen, so the units shrink to fit it (the status line takes a row below the template).
  const veldrin::CDialogUnits fontUnits(font());
  const int statusHeight = QFontMetrics(font()).height() + 6;
  const QSize natural = fontUnits.Size(665, 290);
  const double fit = std::min({1.0, double(kMaxInitialWidth) / natural.width(),
                               double(kMaxInitialHeight - statusHeight) / natural.height()});
  const veldrin::CDialogUnits du(std::max(1, int(fontUnits.X(4) * fit)),
                                 std::max(1, int(fontUnits.Y(8) * fit)));
  auto place = [&](QWidget* w, int x, int y, int cx, int cy, int moveX, int sizeX, int sizeY) {
    QRect r = du.Rect(x, y, cx, cy);
    // Check boxes here draw a larger indicator than the templates were laid out for: give them
    // the width their text needs, kept inside the right-hand group boxes.
    if (qobject_cast<QCheckBox*>(w) && w->sizeHint().width() > r.width()) {
      r.setWidth(w->sizeHint().width());
      const int right = du.X(657) - 4;
      if (r.right() > right) r.moveRight(right);
    }
    w->setGeometry(r);
    m_layout.Add(w, r, moveX, sizeX, sizeY);
  };
  auto label = [&](const QString& text, const char* id) {
    auto* l = new QLabel(text, this);
    if (id) l->setObjectName(QLatin1String(id));
    return l;
  };
  auto group = [&](const QString& text) { return new QGroupBox(text, this); };
  auto iconButton = [&](const char* id, int iconId, const QString& tip) {
    auto* b = new QToolButton(this);
    b->setObjectName(QLatin1String(id));
    b->setIcon(veldrin::LoadAppIcon(iconId));
    b->setIconSize(QSize(16, 16));
    b->setAutoRaise(true);
    b->setToolTip(tip);
    return b;
  };

  // Group boxes first so that the controls they frame stack above them.
  place(group(QStringLiteral("Camera")), 479, 7, 178, 33, 75, 25, 0);
  m_calibGroup = group(QStringLiteral("Calibration selection"));
  place(m_calibGroup, 479, 44, 178, 81, 75, 25, 0);
  place(group(QStringLiteral("Provided Media Size")), 479, 130, 177, 37, 75, 25, 0);

  // The check box first: the camera combo ends where its (possibly wider) text begins.
  m_snapshotCheck = new QCheckBox(QStringLiteral("Snapshot mode"), this);
  m_snapshotCheck->setObjectName(QStringLiteral("1011"));
  place(m_snapshotCheck, 591, 22, 60, 10, 100, 0, 0);

  m_cameraCombo = new QComboBox(this);
  m_cameraCombo->setObjectName(QStringLiteral("1010"));
  {
    QRect r = du.Rect(485, 20, 99, 14);
    r.setRight(std::min(r.right(), m_snapshotCheck->geometry().left() - 6));
    m_cameraCombo->setGeometry(r);
    m_layout.Add(m_cameraCombo, r, 75, 25, 0);
  }

  auto* tabPane = new QFrame(this);
  tabPane->setObjectName(QStringLiteral("1016-pane"));
  tabPane->setFrameShape(QFrame::StyledPanel);
  place(tabPane, 7, 16, 459, 267, 0, 75, 100);
  auto* tabBar = new QTabBar(this);
  tabBar->setObjectName(QStringLiteral("1016"));
  tabBar->setExpanding(false);
  tabBar->setDrawBase(false);

  m_inputWindow = new CImageWindow(this);
  m_inputWindow->setObjectName(QStringLiteral("1001"));
  m_inputWindow->setGeometry(du.Rect(84, 72, 287, 160));

  m_closeTabButton = iconButton("20460", kIconRemove, QStringLiteral("Close preview"));
  place(m_closeTabButton, 452, 15, 13, 13, 75, 0, 0);

  m_outputWindow = new CImageWindow(this);
  m_outputWindow->setObjectName(QStringLiteral("1002"));
  place(m_outputWindow, 479, 182, 177, 100, 75, 25, 100);

  CCalibrationList::SWidgets calibration;
  calibration.combo = new QComboBox(this);
  calibration.combo->setObjectName(QStringLiteral("1004"));
  place(calibration.combo, 485, 57, 121, 14, 75, 25, 0);

  const char* pointIds[4] = {"1005", "1006", "1013", "1014"};
  for (int i = 0; i < 4; ++i) {
    calibration.pointLabels[i] = label(QString(), pointIds[i]);
    place(calibration.pointLabels[i], 485, 76 + 10 * i, 160, 8, 75, 25, 0);
  }
  // One line under the read-outs, inside the group: what is wrong with the outline, if anything.
  m_quadWarning = label(QString(), "quadWarning");
  m_quadWarning->setStyleSheet(QStringLiteral("color: #c00000;"));
  place(m_quadWarning, 485, 115, 168, 9, 75, 25, 0);
  calibration.warningLabel = m_quadWarning;

  m_mediaWidthLabel = label(QString(), "1007");
  place(m_mediaWidthLabel, 485, 142, 164, 8, 75, 25, 0);
  m_mediaHeightLabel = label(QString(), "1015");
  place(m_mediaHeightLabel, 485, 154, 164, 8, 75, 25, 0);

  calibration.saveButton = iconButton("20458", kIconSave, QStringLiteral("Save calibration"));
  place(calibration.saveButton, 610, 56, 19, 15, 100, 0, 0);
  calibration.removeButton = iconButton("20459", kIconRemove, QStringLiteral("Remove calibration"));
  place(calibration.removeButton, 630, 56, 19, 15, 100, 0, 0);

  place(label(QStringLiteral("Input"), nullptr), 7, 5, 86, 8, 0, 0, 0);
  place(label(QStringLiteral("Output"), nullptr), 479, 172, 77, 8, 75, 0, 0);

  m_autoCalibCheck = new QCheckBox(QStringLiteral("Auto Calibration"), this);
  m_autoCalibCheck->setObjectName(QStringLiteral("1023"));
  m_autoCalibCheck->hide();
  place(m_autoCalibCheck, 583, 58, 64, 10, 100, 0, 0);

  m_securePointsCheck = new QCheckBox(QStringLiteral("Draw secure points"), this);
  m_securePointsCheck->setObjectName(QStringLiteral("1017"));
  place(m_securePointsCheck, 583, 172, 74, 8, 100, 0, 0);

  m_savePlaneButton = new QPushButton(QStringLiteral("Save Plane"), this);
  m_savePlaneButton->setObjectName(QStringLiteral("1022"));
  m_savePlaneButton->setAutoDefault(false);
  m_savePlaneButton->hide();
  place(m_savePlaneButton, 605, 80, 44, 36, 0, 0, 0);

  // Beside the corner read-outs: put the corners on the sheet, and measure the result.
  auto* findSheet = new QPushButton(QStringLiteral("Find sheet"), this);
  findSheet->setObjectName(QStringLiteral("findSheet"));
  findSheet->setAutoDefault(false);
  findSheet->setToolTip(QStringLiteral("Put the corners on the sheet in the picture (F)"));
  place(findSheet, 586, 75, 66, 13, 100, 0, 0);
  auto* checkAccuracy = new QPushButton(QStringLiteral("Check accuracy"), this);
  checkAccuracy->setObjectName(QStringLiteral("checkAccuracy"));
  checkAccuracy->setAutoDefault(false);
  checkAccuracy->setToolTip(
      QStringLiteral("Measure a printed chessboard on the media in the output picture"));
  place(checkAccuracy, 586, 90, 66, 13, 100, 0, 0);

  m_statusLine = new CStatusLine(m_status, this);
  m_statusLine->setFixedHeight(statusHeight);
  connect(m_statusLine, &CStatusLine::CameraStalledChanged, this,
          [this](bool stalled) { OnCameraStalled(stalled); });

  // The template's area, then the status line's row below it.
  const QSize initial = du.Size(665, 290) + QSize(0, statusHeight + 2);
  m_layout.SetInitialSize(initial);
  resize(initial);

  m_pPreviewTabs = new CPreviewTabs(this, tabBar, tabPane, m_closeTabButton, m_inputWindow,
                                    static_cast<CKivVideoEngineListener&>(*this));
  m_pCalibrationList = new CCalibrationList(this, calibration, m_rectification, *m_inputWindow);
  m_pCalibrationList->SetStatusModel(&m_status);
  m_pCalibrationList->SetLensState([this] { return ActiveLensName(); });

  connect(m_cameraCombo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { OnCameraComboChanged(); });
  connect(m_pPreviewTabs, &CPreviewTabs::PreviewAdded, this, [this] {
    FillCameraCombo();
    SelectMainCameraInCombo();
    update();
  });
  connect(m_pPreviewTabs, &CPreviewTabs::PreviewClosed, this, [this] {
    FillCameraCombo();
    m_cameraCombo->setFocus();
    SelectMainCameraInCombo();
  });
  connect(m_snapshotCheck, &QCheckBox::clicked, this, [this](bool on) { OnSnapshotMode(on); });
  connect(m_savePlaneButton, &QPushButton::clicked, this, [this] { SavePlane(); });
  connect(m_autoCalibCheck, &QCheckBox::clicked, this, [this](bool on) {
    // Off first, so no depth frame moves the corners after the saved ones are back.
    if (m_pDepth) m_pDepth->SetAutoCalibration(on);
    if (!on) LoadPlane2D(SettingsFolder());
  });
  connect(m_securePointsCheck, &QCheckBox::toggled, this, [this](bool on) {
    if (m_pDepth) m_pDepth->SetSecurePoints(on);
  });
  connect(
      m_inputWindow, &CImageWindow::PointsChanged, m_pCalibrationList,
      [this] { m_pCalibrationList->OnPointsChanged(); }, Qt::DirectConnection);
  connect(m_inputWindow, &CImageWindow::Clicked, m_pCalibrationList,
          [this](QPoint) { m_pCalibrationList->OnInputClicked(); });
  connect(findSheet, &QPushButton::clicked, this, [this] { OnFindSheet(); });
  auto* findKey =
      new QShortcut(QKeySequence(Qt::Key_F), m_inputWindow, nullptr, nullptr, Qt::WidgetShortcut);
  connect(findKey, &QShortcut::activated, this, [this] { OnFindSheet(); });
  connect(checkAccuracy, &QPushButton::clicked, this, [this] {
    CBoardDlg board(m_board, this);
    if (board.exec() != QDialog::Accepted) return;
    m_board = board.Board();
    OnCheckAccuracy(m_board);
  });
  // A corner about to be dragged may snap onto the sheet's corners found in the picture now.
  connect(
      m_inputWindow, &CImageWindow::DragStarted, this,
      [this] {
        std::vector<cv::Point2f> corners;
        if (!veldrin::FindSheet(m_pConsumer->GetLastFrame(), corners)) corners.clear();
        m_inputWindow->SetSnapCorners(std::move(corners));
      },
      Qt::DirectConnection);
  connect(m_outputWindow, &CImageWindow::Clicked, this, [this](QPoint) { m_outputHeldUntil = 0; });
  connect(m_pCalibrationList, &CCalibrationList::CalibrationSaved, this, [this](const QString& n) {
    const std::string directory = m_pCalibrationList->Directory();
    if (!m_cameraWatch.Saved(directory, n.toStdString(), m_pConsumer->GetLastFrame()))
      m_status.ReportProblem("No camera reference kept: cannot write " +
                             veldrin::CameraReferencePath(directory, n.toStdString()));
    if (!m_strCameraMessage.isEmpty()) OnCheckCamera(m_pConsumer->GetLastFrame());
  });
  connect(m_pCalibrationList, &CCalibrationList::CalibrationApplied, this,
          [this](const QString& name) {
            if (name.isEmpty()) {
              m_cameraWatch.Clear();
            } else {
              m_cameraWatch.Applied(m_pCalibrationList->Directory(), name.toStdString());
            }
            OnCheckCamera(m_pConsumer->GetLastFrame());
          });
  m_cameraTimer = new QTimer(this);
  m_cameraTimer->setInterval(2000);
  connect(m_cameraTimer, &QTimer::timeout, this, [this] {
    if (m_cameraWatch.IsWatching() || !m_strCameraMessage.isEmpty())
      OnCheckCamera(m_pConsumer->GetLastFrame());
  });
  m_cameraTimer->start();

  auto* accel = new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_R), this);
  connect(accel, &QShortcut::activated, this, [this] { OnCameraConfiguration(); });
  auto* undo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), this);
  connect(undo, &QShortcut::activated, this, [this] { m_pCalibrationList->Undo(); });
  auto* redo = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), this);
  connect(redo, &QShortcut::activated, this, [this] { m_pCalibrationList->Redo(); });

  // The host watch does not depend on frames: in snapshot mode none arrive.
  m_hostTimer = new QTimer(this);
  connect(m_hostTimer, &QTimer::timeout, this, [this] { m_pConsumer->CheckHost(); });

  // Tab moves through the controls as they are seen: the tabs, then the right-hand column
  // from top to bottom.
  QWidget* order[] = {tabBar,
                      m_closeTabButton,
                      m_cameraCombo,
                      m_snapshotCheck,
                      calibration.combo,
                      calibration.saveButton,
                      calibration.removeButton,
                      findSheet,
                      checkAccuracy,
                      m_autoCalibCheck,
                      m_savePlaneButton,
                      m_securePointsCheck};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
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
  if (m_pPreviewTabs) m_pPreviewTabs->Layout();
}

void CVeldrinDlg::contextMenuEvent(QContextMenuEvent* event) {
  const std::string& text = veldrin::LoadStringResource(veldrin::IDS_ABOUTBOX);
  QMenu menu(this);
  QWidget* under = childAt(event->pos());
  const bool onInput = under && (under == m_inputWindow || m_inputWindow->isAncestorOf(under));
  if (onInput && LensOffered()) {
    menu.addAction(QStringLiteral("Lens\u2026"), this, [this] { OnLensDialog(); });
  }
  if (!text.empty()) menu.addAction(Q(text), this, [this] { ShowAboutBox(); });
  if (menu.isEmpty()) return;
  menu.exec(event->globalPos());
}

bool CVeldrinDlg::LensOffered() const {
  return m_nCurrentCamera >= 0 && m_pCameraList && m_pWebcamEngine &&
         m_pWebcamEngine->IsRealSense(m_nCurrentCamera) == 0;
}

void CVeldrinDlg::OnLensDialog() {
  if (!LensOffered()) return;
  const std::string camera = m_pWebcamEngine->m_devices[m_nCurrentCamera].strName;
  if (veldrin::LensFileName(camera).empty()) {
    AfxMessageBox("The camera's name \"" + camera +
                      "\" cannot be used as a file name, so no lens correction can be kept for it.",
                  MB_ICONERROR | MB_OK);
    return;
  }
  // The lens is measured on the frames as the camera delivers them, not on corrected ones.
  m_pConsumer->SetKeepRawFrame(true);
  CLensDlg dlg(
      camera, SettingsFolder(), [this] { return m_pConsumer->GetLastRawFrame(); }, this);
  dlg.exec();
  m_pConsumer->SetKeepRawFrame(false);
  LoadLensForCamera();
}

void CVeldrinDlg::LoadLensForCamera() {
  std::shared_ptr<LENS_MODEL> lens;
  if (LensOffered()) {
    const std::string camera = m_pWebcamEngine->m_devices[m_nCurrentCamera].strName;
    const std::string file = veldrin::LensFileName(camera);
    auto read = std::make_shared<LENS_MODEL>();
    std::string error;
    // A file copied from another camera does not apply to this one.
    if (!file.empty() && veldrin::ReadLensFile(SettingsFolder() + file, *read, error) &&
        read->strCamera == camera) {
      lens = std::move(read);
    }
  }
  m_rectification.SetLens(std::move(lens));
}

std::string CVeldrinDlg::ActiveLensName() const {
  const std::shared_ptr<const LENS_MODEL> lens = m_rectification.GetLens();
  if (!lens) return std::string();
  const QSize seen = LastColorSize();
  const cv::Size size = seen.isEmpty() ? cv::Size(m_frameWidth, m_frameHeight)
                                       : cv::Size(seen.width(), seen.height());
  return lens->size == size ? veldrin::LensFileName(lens->strCamera) : std::string();
}

void CVeldrinDlg::ShowAboutBox() {
  CAboutDlg about(this);
  about.exec();
}

// ---------------------------------------------------------------------------------------------
// Start-up and shut-down

int CVeldrinDlg::DoModal() {
  OnInitDialog();
  if (m_bEnded) return m_nEndResult;
  show();
  return exec();
}

void CVeldrinDlg::OnInitDialog() {
  // Exactly the instance name: tools find the window by its title.
  setWindowTitle(Q(m_strInstanceName));

  // A name that cannot give the picture's file name could never publish: refused before anything
  // is touched.
  if (!m_strInstanceName.empty() && !CSharedStatusBlock::IsValidInstanceName(m_strInstanceName)) {
    const std::string text = "The instance name \"" + m_strInstanceName +
                             "\" cannot name the picture file: it must not hold \"/\", be \".\" "
                             "or \"..\", or be longer than 251 bytes.";
    std::fprintf(stderr, "veldrin: %s\n", text.c_str());
    AfxMessageBox(text, MB_ICONERROR | MB_OK);
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
  m_pConsumer->SetStatusBlock(std::move(block));
  const std::string folder = SettingsFolder();
  m_status.SetHostAttached(m_strInstanceName, folder);
  if (::access(folder.c_str(), W_OK) != 0)
    m_status.ReportProblem("The host's folder " + folder +
                           " is not writable: nothing can be saved or published.");
  m_hostTimer->start(kHostCheckMs);

  m_securePointsCheck->setEnabled(false);
  ReadCameraSettings();

  std::unique_ptr<CSimpleSplash> splash = veldrin::ShowSplash(nullptr, 200);

  m_rcInitialClient = m_layout.InitialSize();
  setMinimumSize(m_rcInitialClient);

  m_inputWindow->SetImageSize(m_frameWidth, m_frameHeight);
  m_outputWindow->SetImageSize(m_frameWidth, m_frameHeight);

  m_pPreviewTabs->CreateTabs();

  m_rectification.SetDefaultCorners();
  m_inputWindow->SetPoints(m_rectification.GetCorners());

  m_pWebcamEngine = std::make_unique<CKivOpenCVVideoEngine>();
  m_pCameraList = std::make_unique<CCameraList>(*m_pWebcamEngine);
  m_pConsumer->SetCameraList(m_pCameraList.get());
  m_pPreviewTabs->SetCameraList(m_pCameraList.get());
  if (m_pCameraList->GetCount() == 0) {
    // One cause, one message: there is no camera to ask about or to open.
    splash.reset();
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_CAMERA_NOT_FOUND);
    EndDialog(-1);
    return;
  }
  FillCameraCombo();
  bool declined = false;
  const int index = ReadPreferredCamera(declined);
  if (SwitchCamera(index)) {
    const QSignalBlocker blocker(m_cameraCombo);
    m_cameraCombo->setCurrentIndex(m_nCurrentCamera);
  } else if (!declined) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
  }
  m_pPreviewTabs->UpdatePlusTab();

  const CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  m_pCalibrationList->Open(SettingsFolder(), settings.ReadCalibIndex(), settings.ReadCalibName());

  splash.reset();
  m_pPreviewTabs->Layout();
  m_pPreviewTabs->UpdateCloseButton();
  if (m_nCurrentCamera == -1) EndDialog(-1);
}

void CVeldrinDlg::EndDialog(int result) { done(result); }

// The last request wins, as when a cancelled initialisation later finds no camera either.
void CVeldrinDlg::done(int result) {
  m_bEnded = true;
  m_nEndResult = result;
  QDialog::done(result);
  emit Ended(result);
}

// Escape does nothing: one keystroke must not close the tool with the operator's work.
void CVeldrinDlg::reject() {}

void CVeldrinDlg::closeEvent(QCloseEvent* event) {
  // On a depth camera the corners come from the plane files and auto calibration, and the
  // calibration list is hidden: there is nothing the operator could have meant to save.
  if (!m_bEnded && !m_pDepth && m_pCalibrationList->IsModified() &&
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
  if (m_pWebcamEngine) m_pWebcamEngine->Stop();
  m_pPreviewTabs->StopPreviews();
  StopDepthView();
}

void CVeldrinDlg::HostGone() {
  QMetaObject::invokeMethod(
      this, [this] { OnHostGone(); }, Qt::QueuedConnection);
}

// Nobody is left to answer a box (a decoded code's, typically): the scan shows no further one,
// the open ones close, and the dialog ends.
void CVeldrinDlg::OnHostGone() {
  m_pConsumer->StopQRDetector();
  veldrin::CloseOpenMessageBoxes();
  EndDialog(-1);
}

// ---------------------------------------------------------------------------------------------
// Settings

std::string CVeldrinDlg::SettingsFolder() const { return m_pConsumer->GetFolder(); }

void CVeldrinDlg::ReadCameraSettings() {
  const CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  std::string problem;
  settings.ReadFrameSize(m_frameWidth, m_frameHeight, problem);
  if (!problem.empty()) m_status.ReportProblem(problem);
  m_frameDivisor = settings.ReadFrameDivisor();
  m_pConsumer->SetFrameDivisor(m_frameDivisor);
  m_rectification.ApplyCameraSettings(m_frameWidth, m_frameHeight);
  m_pPreviewTabs->SetFrameSize(m_frameWidth, m_frameHeight);
}

void CVeldrinDlg::SaveSettings() {
  CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  bool written = true;
  INFO_CAM_DATA record;
  if (m_pCameraList && m_pCameraList->GetCameraAt(m_nCurrentCamera, record) && m_pWebcamEngine &&
      m_nCurrentCamera < MAX_VIDEO_DEVICES &&
      !settings.WriteCamera(m_pWebcamEngine->m_devices[m_nCurrentCamera].strName))
    written = false;
  written = settings.WriteCalibIndex(m_pCalibrationList->Index()) && written;
  written = settings.WriteCalibName(m_pCalibrationList->Name()) && written;
  // The window is closing, so the status line is gone: the terminal or the host's log is left.
  if (!written) std::fprintf(stderr, "veldrin: cannot write %s\n", settings.GetPath().c_str());
}

// ---------------------------------------------------------------------------------------------
// Cameras

void CVeldrinDlg::FillCameraCombo() {
  const QSignalBlocker blocker(m_cameraCombo);
  m_cameraCombo->clear();
  if (!m_pCameraList || !m_pWebcamEngine) return;
  const QFontMetrics fm(m_cameraCombo->font());
  int widest = 0;
  auto* model = qobject_cast<QStandardItemModel*>(m_cameraCombo->model());
  for (const INFO_CAM_DATA& r : m_pCameraList->Snapshot()) {
    const QString text = Q(CameraEntry(r.nCamera));
    m_cameraCombo->insertItem(r.nCamera, text);
    // A camera that could not be opened is listed, greyed out.
    if (r.nState == CAM_STATE_UNAVAILABLE && model && model->item(r.nCamera))
      model->item(r.nCamera)->setEnabled(false);
    widest = std::max(widest, fm.horizontalAdvance(text) + fm.averageCharWidth());
  }
  const int dropWidth = widest + 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth) +
                        style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  if (dropWidth > m_cameraCombo->view()->minimumWidth())
    m_cameraCombo->view()->setMinimumWidth(dropWidth);
}

std::string CVeldrinDlg::CameraEntry(int index) const {
  const std::string name = m_pWebcamEngine && index >= 0 && index < MAX_VIDEO_DEVICES
                               ? m_pWebcamEngine->m_devices[index].strName
                               : std::string();
  return veldrin::CameraEntryText(index, name, m_pCameraList ? m_pCameraList->GetKind(index) : 0);
}

int CVeldrinDlg::ReadPreferredCamera(bool& declined) {
  declined = false;
  const std::string preferred = CCameraSettings(SettingsFolder(), m_strInstanceName).ReadCamera();
  // The main engine has just listed the devices and is not capturing yet: it answers for them.
  CKivOpenCVVideoEngine& engine = *m_pWebcamEngine;
  if (!preferred.empty()) {
    const int count = static_cast<int>(engine.GetDeviceCount());
    for (int i = 0; i < count && i < MAX_VIDEO_DEVICES; ++i) {
      if (engine.m_devices[i].strName == preferred && engine.IsDeviceAvailable(i)) return i;
    }
  }
  if (AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_PREFERRED_CAMERA_UNAVAILABLE) != IDYES) {
    declined = true;
    return -1;
  }
  const int free = m_pCameraList ? m_pCameraList->FindFirstFree() : -1;
  if (free < 0) return -1;
  return engine.IsDeviceAvailable(free) ? free : -1;
}

int CVeldrinDlg::SwitchCamera(int index) {
  if (index < 0) return 0;
  const int previous = m_nCurrentCamera;
  if (!m_pWebcamEngine) return 0;
  // An index naming no device keeps the current camera: recording it would leave the dialog
  // pointing at nothing, and the settings would later be saved from it.
  if (index >= m_pWebcamEngine->EnumerateDevices()) return 1;
  m_nCurrentCamera = index;

  m_pWebcamEngine->Stop();
  m_pWebcamEngine->Setup(index, m_frameWidth, m_frameHeight, this);
  if (!m_pWebcamEngine->Start()) {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
    m_nCurrentCamera = previous;
    m_pWebcamEngine->Setup(previous, m_frameWidth, m_frameHeight, this);
    if (m_pWebcamEngine->Start()) {
      m_snapshotCheck->setChecked(false);
      m_inputWindow->SetLocked(0);
      m_status.SetCameraRunning(true);
      FollowDeliveredSize();
    }
    return 1;
  }

  m_snapshotCheck->setChecked(false);
  m_inputWindow->SetLocked(0);
  m_status.SetCamera(CameraEntry(index));
  m_status.SetCameraRunning(true);
  FollowDeliveredSize();
  if (previous != -1 && previous != index)
    m_pCameraList->SetCameraAt(previous, -1, CAM_STATE_FREE, nullptr, nullptr,
                               m_pCameraList->GetKind(previous));
  m_pCameraList->SetCameraAt(index, 0, CAM_STATE_MAIN, m_pWebcamEngine.get(), m_inputWindow,
                             m_pCameraList->GetKind(index));

  StopDepthView();
  if (m_pCameraList->GetKind(index) == CAM_KIND_DEPTH) {
    m_pWebcamEngine->Stop();
    const bool depth = StartDepthView() != 0;
    m_autoCalibCheck->setVisible(depth);
    depth ? m_pCalibrationList->Hide() : m_pCalibrationList->Show();
    m_closeTabButton->setVisible(!depth);
    if (!m_pWebcamEngine->Start()) m_status.ReportProblem("The colour camera did not start again.");
  } else {
    m_autoCalibCheck->hide();
    m_pCalibrationList->Show();
    m_closeTabButton->show();
  }
  m_pPreviewTabs->UpdatePlusTab();
  LoadLensForCamera();
  return 1;
}

// The corners saved on the empty table come back, the depth camera starts and the 3D View
// opens. A depth camera that does not start is reported with the library's message; the tool
// goes on with its colour picture.
int CVeldrinDlg::StartDepthView() {
  StopDepthView();
  LoadPlane2D(SettingsFolder());
  auto session = std::make_unique<CDepthSession>(m_rectification, *m_inputWindow, *m_pConsumer,
                                                 SettingsFolder());
  session->SetAutoCalibration(m_autoCalibCheck->isChecked());
  session->SetSecurePoints(m_securePointsCheck->isChecked());
  std::string error;
  if (!session->Start(m_frameWidth, m_frameHeight, error)) {
    session.reset();
    SetStatus(QStringLiteral("Depth camera: %1").arg(Q(error)));
    AfxMessageBox(error, MB_ICONERROR | MB_OK);
    return 0;
  }
  connect(
      session.get(), &CDepthSession::EngineError, this,
      [this](const QString& message) { OnDepthEngineError(message); }, Qt::QueuedConnection);
  {
    std::lock_guard lock(m_depthMutex);
    m_pDepth = std::move(session);
  }
  m_securePointsCheck->setEnabled(true);
  return 1;
}

void CVeldrinDlg::StopDepthView() {
  std::unique_ptr<CDepthSession> session;
  {
    std::lock_guard lock(m_depthMutex);
    session = std::move(m_pDepth);
  }
  if (!session) return;
  session.reset();  // stops and joins the depth thread, then closes the 3D View
  m_securePointsCheck->setEnabled(false);
}

// The depth stream ended (camera gone, no frames): said once, and the colour picture goes on.
void CVeldrinDlg::OnDepthEngineError(const QString& message) {
  if (!m_pDepth) return;
  StopDepthView();
  m_autoCalibCheck->hide();
  m_pCalibrationList->Show();
  m_closeTabButton->show();
  m_pPreviewTabs->UpdatePlusTab();
  SetStatus(QStringLiteral("Depth camera: %1").arg(message));
  AfxMessageBox(message.toStdString(), MB_ICONERROR | MB_OK);
}

void CVeldrinDlg::MarkSecurePoints(cv::Mat& frame) {
  std::lock_guard lock(m_depthMutex);
  if (m_pDepth) m_pDepth->MarkSecurePoints(frame);
}

void CVeldrinDlg::FollowDeliveredSize() {
  if (!m_pWebcamEngine) return;
  const cv::Size delivered = m_pWebcamEngine->GetResolution();
  cv::Size previous;
  if (m_rectification.FollowFrameSize(delivered.width, delivered.height, &previous))
    OnFrameSizeChanged(previous, delivered);
}

void CVeldrinDlg::FrameSizeChanged(cv::Size previous, cv::Size current) {
  QMetaObject::invokeMethod(
      this, [this, previous, current] { OnFrameSizeChanged(previous, current); },
      Qt::QueuedConnection);
}

// The rectification has already scaled the corners and rebuilt the output for the new size.
void CVeldrinDlg::OnFrameSizeChanged(cv::Size previous, cv::Size current) {
  m_inputWindow->SetImageSize(current.width, current.height);
  const cv::Size out = m_rectification.GetOutputSize();
  m_outputWindow->SetImageSize(out.width, out.height);
  if (previous.width > 0 && previous.height > 0) {
    m_pCalibrationList->FollowScaledCorners(
        static_cast<float>(current.width) / static_cast<float>(previous.width),
        static_cast<float>(current.height) / static_cast<float>(previous.height));
  }
}

// A camera that gives no frames is shown greyed, not as if its last frame were live.
void CVeldrinDlg::OnCameraStalled(bool stalled) {
  if (!stalled) {
    m_inputWindow->setGraphicsEffect(nullptr);
    return;
  }
  auto* grey = new QGraphicsColorizeEffect(m_inputWindow);
  grey->setColor(QColor(128, 128, 128));
  grey->setStrength(0.85);
  m_inputWindow->setGraphicsEffect(grey);
}

// Entry i of the camera combo is camera i.
void CVeldrinDlg::OnCameraComboChanged() {
  const int index = m_cameraCombo->currentIndex();
  if (index == m_nCurrentCamera) return;  // already the main camera: nothing to do
  if (m_pCameraList && m_pCameraList->GetState(index) == CAM_STATE_FREE) {
    SwitchCamera(index);
  } else {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
  }
  const QSignalBlocker blocker(m_cameraCombo);
  m_cameraCombo->setCurrentIndex(m_nCurrentCamera);
}

void CVeldrinDlg::OnCameraConfiguration() {
  m_savePlaneButton->show();
  static const std::vector<cv::Point> kNone;
  const std::vector<cv::Point>* resolutions = &kNone;
  if (m_pWebcamEngine && m_nCurrentCamera >= 0 && m_nCurrentCamera < MAX_VIDEO_DEVICES)
    resolutions = &m_pWebcamEngine->m_devices[m_nCurrentCamera].resolutions;
  CCameraConfiguraionDlg dlg(resolutions, QSize(m_frameWidth, m_frameHeight), m_frameDivisor, this);
  if (dlg.exec() != QDialog::Accepted) return;

  m_frameDivisor = dlg.m_nFrameDivisor;
  m_pConsumer->SetFrameDivisor(m_frameDivisor);
  if (dlg.m_nResolutionIndex >= 0 &&
      dlg.m_nResolutionIndex < static_cast<int>(resolutions->size())) {
    const cv::Point r = (*resolutions)[dlg.m_nResolutionIndex];
    m_frameWidth = r.x;
    m_frameHeight = r.y;
    m_pPreviewTabs->SetFrameSize(m_frameWidth, m_frameHeight);
  }
  CCameraSettings settings(SettingsFolder(), m_strInstanceName);
  if (!settings.WriteResX(m_frameWidth) || !settings.WriteResY(m_frameHeight) ||
      !settings.WriteFrameDivisor(m_frameDivisor))
    m_status.ReportProblem("Camera settings not kept: cannot write " + settings.GetPath());

  INFO_CAM_DATA record;
  if (m_pCameraList && m_pCameraList->GetCameraAt(m_nCurrentCamera, record)) {
    m_pPreviewTabs->Layout();
    update();
    // Restarting at the new size makes the windows, the corners and the output follow the size
    // the camera now delivers.
    SwitchCamera(m_nCurrentCamera);
  }
}

void CVeldrinDlg::OnSnapshotMode(bool checked) {
  if (checked) {
    m_inputWindow->SetLocked(1);
    if (m_pWebcamEngine) m_pWebcamEngine->Stop();
    m_status.SetCameraRunning(false);
    const cv::Mat last = m_pConsumer->GetLastFrame();
    if (!last.empty()) m_inputWindow->SetImage(last);
  } else {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (m_pWebcamEngine && m_pWebcamEngine->Start()) m_status.SetCameraRunning(true);
    QApplication::restoreOverrideCursor();
    m_inputWindow->SetLocked(0);
  }
}

void CVeldrinDlg::SelectMainCameraInCombo() {
  INFO_CAM_DATA main;
  const QSignalBlocker blocker(m_cameraCombo);
  if (m_pCameraList && m_pCameraList->FindByTab(0, main))
    m_cameraCombo->setCurrentIndex(main.nCamera);
}

// ---------------------------------------------------------------------------------------------
// Frames (capture threads)

int CVeldrinDlg::CurrentTab() const { return m_pPreviewTabs->CurrentTab(); }

void CVeldrinDlg::OnVideoFrame(int cameraIndex, cv::Mat* frame) {
  m_pConsumer->OnVideoFrame(cameraIndex, frame);
}

void CVeldrinDlg::OnDepthFrame(int, cv::Mat*, cv::Mat*, const SVertex*) {}

void CVeldrinDlg::OnQRCodeDetected(std::string text) { AfxMessageBox(text, MB_OK); }

void CVeldrinDlg::ShowInWindow(CImageWindow* window, const cv::Mat& frame) {
  window->SetImageSize(frame.cols, frame.rows);  // a preview shows what its camera delivers
  window->SetImage(frame);
}

void CVeldrinDlg::ShowInput(const cv::Mat& frame) { m_inputWindow->SetImage(frame); }

void CVeldrinDlg::ShowOutput(const cv::Mat& picture) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  if (std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() < m_outputHeldUntil) {
    return;  // the accuracy deviations are on show
  }
  m_outputWindow->SetImage(picture);
}

// ---------------------------------------------------------------------------------------------
// Sheet, accuracy and the bumped-camera watch

// Sheet, accuracy and camera-watch messages share the status line's problem slot: each replaces
// what was said before, as any report does.
void CVeldrinDlg::SetStatus(const QString& text) {
  if (text.isEmpty()) {
    m_status.ClearProblem();
  } else {
    m_status.ReportProblem(text.toStdString());
  }
  if (m_statusLine) m_statusLine->Refresh();
}

QString CVeldrinDlg::StatusText() const { return QString::fromStdString(m_status.Problem()); }

void CVeldrinDlg::OnFindSheet() {
  std::vector<cv::Point2f> corners;
  if (!veldrin::FindSheet(m_pConsumer->GetLastFrame(), corners)) {
    SetStatus(QStringLiteral("No sheet found in the picture: the corners are unchanged."));
    return;
  }
  m_pCalibrationList->ApplyCorners(corners);
  SetStatus(QStringLiteral("The corners are on the sheet found in the picture."));
}

void CVeldrinDlg::OnCheckAccuracy(const veldrin::SBoardSpec& board) {
  const cv::Mat frame = m_pConsumer->GetLastFrame();
  int mediaWidth = 0, mediaHeight = 0;
  cv::Mat rectified;
  if (frame.empty()) {
    SetStatus(QStringLiteral("There is no picture to check yet."));
    return;
  }
  if (!m_rectification.GetMediaSizeMm(mediaWidth, mediaHeight)) {
    SetStatus(QStringLiteral("The media size is not known: the accuracy cannot be checked."));
    return;
  }
  if (!m_rectification.Rectify(frame, rectified)) {
    SetStatus(QStringLiteral("The corners give no output picture to check."));
    return;
  }
  const cv::Size out = rectified.size();
  veldrin::SAccuracyReport report;
  if (!veldrin::CheckAccuracy(rectified, double(mediaWidth) / out.width,
                              double(mediaHeight) / out.height, board, report)) {
    SetStatus(QStringLiteral("No chessboard of %1 x %2 squares found on the media.")
                  .arg(board.cols)
                  .arg(board.rows));
    return;
  }
  // The deviations stay in the output picture for a while, or until it is clicked.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  m_outputHeldUntil =
      std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
  m_outputWindow->SetImage(veldrin::DrawDeviations(rectified, report));
  SetStatus(QStringLiteral("Accuracy: scale error %1 %, RMS %2 mm, largest %3 mm.")
                .arg(QString::asprintf("%+.2f", report.scaleErrorPercent))
                .arg(report.rmsMm, 0, 'f', 2)
                .arg(report.maxMm, 0, 'f', 2));
}

void CVeldrinDlg::OnCheckCamera(const cv::Mat& frame) {
  const QString message = QString::fromStdString(m_cameraWatch.Check(frame));
  if (message == m_strCameraMessage) return;
  // The warning replaces whatever the line said; once the picture is back, it goes again
  // (unless something else was said since).
  if (!message.isEmpty()) {
    SetStatus(message);
  } else if (StatusText() == m_strCameraMessage) {
    SetStatus(QString());
  }
  m_strCameraMessage = message;
}

void CVeldrinDlg::SetOutputImageSize(int width, int height) {
  m_outputWindow->SetImageSize(width, height);
}

void CVeldrinDlg::MediaSizeChanged(int, int) {
  QMetaObject::invokeMethod(
      this,
      [this] {
        m_mediaWidthLabel->setText(Q(m_rectification.FormatMediaWidthLabel()));
        m_mediaHeightLabel->setText(Q(m_rectification.FormatMediaHeightLabel()));
      },
      Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// Plane

int CVeldrinDlg::CalibIndex() const { return m_pCalibrationList->Index(); }

// The corners on the empty table, kept for the depth camera's start and for leaving auto
// calibration. Without a depth view only the 2D file is written.
void CVeldrinDlg::SavePlane() {
  const std::vector<cv::Point2f> corners = m_rectification.GetCorners();
  if (corners.size() != 4) return;
  if (m_pDepth && m_pDepth->Dialog()) {
    // The 3D plane first; before the first depth frame there is none, and nothing is saved.
    if (m_pDepth->Dialog()->SavePlaneCoordinates() == CDepthCameraDialog::ESaveResult::NoFrameYet) {
      SetStatus(QString::fromLatin1(kNoDepthFrameYet));
      AfxMessageBox(kNoDepthFrameYet, MB_OK);
      return;
    }
  }
  const veldrin::Plane2D plane{corners[0], corners[1], corners[2], corners[3]};
  const std::string path = veldrin::Plane2DPath(SettingsFolder());
  if (!veldrin::WritePlane2D(path, plane)) m_status.ReportProblem("Cannot write " + path);
}

int CVeldrinDlg::LoadPlane2D(const std::string& folder) {
  veldrin::Plane2D plane;
  if (!veldrin::ReadPlane2D(veldrin::Plane2DPath(folder), plane)) return 0;
  m_pCalibrationList->ApplyCorners(std::vector<cv::Point2f>(plane.begin(), plane.end()));
  return 1;
}
