#include "workstation/windows/veldrin_dlg_controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTabBar>
#include <QToolButton>

#include <algorithm>
#include <map>
#include <string>

#include "display/image_window.h"
#include "workstation/windows/app_icons.h"
#include "workstation/windows/veldrin_dlg_template.h"

namespace veldrin {
namespace {

// The window must fit a 1024 x 768 screen with its frame and a panel.
constexpr int kMaxInitialWidth = 1000;
constexpr int kMaxInitialHeight = 700;

QWidget* CreateControl(const SMainControlTemplate& t, QWidget* parent) {
  const QString text = QString::fromUtf8(t.text);
  QWidget* w = nullptr;
  switch (t.kind) {
    case EMainControlKind::kGroupBox:
      w = new QGroupBox(text, parent);
      break;
    case EMainControlKind::kLabel:
      w = new QLabel(text, parent);
      break;
    case EMainControlKind::kWarningLabel: {
      auto* l = new QLabel(text, parent);
      l->setStyleSheet(QStringLiteral("color: #c00000;"));
      l->setWordWrap(true);
      l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      w = l;
      break;
    }
    case EMainControlKind::kCheckBox:
      w = new QCheckBox(text, parent);
      break;
    case EMainControlKind::kComboBox:
      w = new QComboBox(parent);
      break;
    case EMainControlKind::kPushButton: {
      auto* b = new QPushButton(text, parent);
      b->setAutoDefault(false);
      w = b;
      break;
    }
    case EMainControlKind::kIconButton: {
      auto* b = new QToolButton(parent);
      b->setIcon(LoadAppIcon(t.icon));
      b->setIconSize(QSize(16, 16));
      b->setAutoRaise(true);
      w = b;
      break;
    }
    case EMainControlKind::kMenuButton: {
      auto* b = new QToolButton(parent);
      b->setText(text);
      b->setPopupMode(QToolButton::InstantPopup);
      b->setMenu(new QMenu(b));
      w = b;
      break;
    }
    case EMainControlKind::kFrame: {
      auto* f = new QFrame(parent);
      f->setFrameShape(QFrame::StyledPanel);
      w = f;
      break;
    }
    case EMainControlKind::kTabBar: {
      auto* bar = new QTabBar(parent);
      bar->setExpanding(false);
      bar->setDrawBase(false);
      w = bar;
      break;
    }
    case EMainControlKind::kImageWindow:
      w = new CImageWindow(parent);
      break;
  }
  if (*t.id) w->setObjectName(QLatin1String(t.id));
  if (*t.tip) w->setToolTip(QString::fromUtf8(t.tip));
  if (t.hidden) w->hide();
  return w;
}

template <typename T>
T* Get(const std::map<std::string, QWidget*>& made, const char* id) {
  return static_cast<T*>(made.at(id));
}

}  // namespace

SVeldrinDlgControls CreateVeldrinDlgControls(QWidget* dialog, CDynamicLayout& layout,
                                             int reservedHeight) {
  const CDialogUnits fontUnits(dialog->font());
  const QSize natural = fontUnits.Size(kMainDialogWidthDu, kMainDialogHeightDu);
  const double fit = std::min({1.0, double(kMaxInitialWidth) / natural.width(),
                               double(kMaxInitialHeight - reservedHeight) / natural.height()});
  const CDialogUnits du(std::max(1, int(fontUnits.X(4) * fit)),
                        std::max(1, int(fontUnits.Y(8) * fit)));

  std::map<std::string, QWidget*> made;
  for (const SMainControlTemplate& t : kMainDialogControls) {
    QWidget* w = CreateControl(t, dialog);
    if (*t.id) made[t.id] = w;
    if (t.moveX == kPlacedByTabs) {
      if (t.cx > 0) w->setGeometry(du.Rect(t.x, t.y, t.cx, t.cy));
      continue;
    }
    QRect r = du.Rect(t.x, t.y, t.cx, t.cy);
    // Check boxes here draw a larger indicator than the template was laid out for: give them
    // the width their text needs, kept inside the right-hand group boxes.
    if (t.kind == EMainControlKind::kCheckBox && w->sizeHint().width() > r.width()) {
      r.setWidth(w->sizeHint().width());
      const int right = du.X(kMainDialogRightGroupEdgeDu) - 4;
      if (r.right() > right) r.moveRight(right);
    }
    w->setGeometry(r);
    layout.Add(w, r, t.moveX, t.sizeX, t.sizeY);
  }
  for (std::size_t i = 0; i + 1 < std::size(kMainDialogTabOrder); ++i)
    QWidget::setTabOrder(made.at(kMainDialogTabOrder[i]), made.at(kMainDialogTabOrder[i + 1]));

  SVeldrinDlgControls c;
  c.cameraCombo = Get<QComboBox>(made, kCameraComboId);
  c.snapshotCheck = Get<QCheckBox>(made, kSnapshotCheckId);
  c.cameraMenuButton = Get<QToolButton>(made, kCameraMenuButtonId);
  c.tabPane = Get<QFrame>(made, kCameraTabPaneId);
  c.tabBar = Get<QTabBar>(made, kCameraTabsId);
  c.inputWindow = Get<CImageWindow>(made, kInputWindowId);
  c.outputWindow = Get<CImageWindow>(made, kOutputWindowId);
  c.closeTabButton = Get<QToolButton>(made, kClosePreviewButtonId);
  c.calibration.combo = Get<QComboBox>(made, kCalibrationComboId);
  c.calibration.saveButton = Get<QToolButton>(made, kSaveCalibrationButtonId);
  c.calibration.removeButton = Get<QToolButton>(made, kRemoveCalibrationButtonId);
  const char* points[4] = {kPoint1LabelId, kPoint2LabelId, kPoint3LabelId, kPoint4LabelId};
  for (int i = 0; i < 4; ++i) c.calibration.pointLabels[i] = Get<QLabel>(made, points[i]);
  c.calibration.warningLabel = Get<QLabel>(made, kQuadWarningLabelId);
  c.mediaWidthLabel = Get<QLabel>(made, kMediaWidthLabelId);
  c.mediaHeightLabel = Get<QLabel>(made, kMediaHeightLabelId);
  c.autoCalibCheck = Get<QCheckBox>(made, kAutoCalibrationCheckId);
  c.heightTrueCheck = Get<QCheckBox>(made, kHeightTrueCheckId);
  c.securePointsCheck = Get<QCheckBox>(made, kSecurePointsCheckId);
  c.savePlaneButton = Get<QPushButton>(made, kSavePlaneButtonId);
  c.findSheetButton = Get<QPushButton>(made, kFindSheetButtonId);
  c.checkAccuracyButton = Get<QPushButton>(made, kCheckAccuracyButtonId);
  c.templateSize = du.Size(kMainDialogWidthDu, kMainDialogHeightDu);
  return c;
}

}  // namespace veldrin
