#include "workstation/windows/camera_controls.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGraphicsColorizeEffect>
#include <QProxyStyle>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyleOptionComboBox>

#include <algorithm>
#include <utility>

#include "display/image_window.h"
#include "platform/message_box.h"
#include "resources/string_table.h"
#include "video/opencv_video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/camera_switcher.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/status_model.h"
#include "workstation/windows/camera_configuration_dlg.h"
#include "workstation/windows/preview_tabs.h"

namespace {

// Draws the closed combo's text as ShownComboText has it; the base style would cut its end off.
class CMiddleElideStyle : public QProxyStyle {
 public:
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    const auto* box = qstyleoption_cast<const QStyleOptionComboBox*>(option);
    const auto* combo = qobject_cast<const QComboBox*>(widget);
    if (element == CE_ComboBoxLabel && box && combo && !combo->isEditable()) {
      QStyleOptionComboBox shown(*box);
      shown.currentText = veldrin::ShownComboText(*combo);
      QProxyStyle::drawControl(element, &shown, painter, widget);
      return;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
  }
};

}  // namespace

namespace veldrin {

QString ShownComboText(const QComboBox& combo) {
  QStyleOptionComboBox option;
  option.initFrom(&combo);
  option.frame = combo.hasFrame();
  option.currentText = combo.currentText();
  option.currentIcon = combo.itemIcon(combo.currentIndex());
  option.iconSize = combo.iconSize();
  QRect field = combo.style()->subControlRect(QStyle::CC_ComboBox, &option,
                                              QStyle::SC_ComboBoxEditField, &combo);
  if (!option.currentIcon.isNull()) field.setLeft(field.left() + option.iconSize.width() + 4);
  // The label is drawn a pixel in from each side of the field.
  return combo.fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, field.width() - 2);
}

}  // namespace veldrin

CCameraControls::CCameraControls(QWidget* dialog, const SWidgets& widgets, CCameraSwitcher& cameras,
                                 CColorFrameConsumer& consumer, CPreviewTabs& tabs,
                                 CStatusModel& status, std::function<void(bool)> started,
                                 std::function<void(const std::string&)> say)
    : QObject(dialog),
      m_dialog(dialog),
      m_widgets(widgets),
      m_cameras(cameras),
      m_consumer(consumer),
      m_tabs(tabs),
      m_status(status),
      m_started(std::move(started)),
      m_say(std::move(say)) {
  auto* style = new CMiddleElideStyle;
  style->setParent(m_widgets.combo);
  m_widgets.combo->setStyle(style);
  connect(m_widgets.combo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { OnComboChanged(); });
  connect(m_widgets.snapshotCheck, &QCheckBox::clicked, this,
          [this](bool on) { OnSnapshotMode(on); });
  // The combo lists the cameras with their state, which a preview tab changes.
  connect(&m_tabs, &CPreviewTabs::PreviewAdded, this, [this] {
    FillCombo();
    SelectMainCamera();
    m_dialog->update();
  });
  connect(&m_tabs, &CPreviewTabs::PreviewClosed, this, [this] {
    FillCombo();
    m_widgets.combo->setFocus();
    SelectMainCamera();
  });
}

int CCameraControls::Switch(int index) {
  using ESwitch = CCameraSwitcher::ESwitch;
  const ESwitch result = m_cameras.Switch(index, m_widgets.inputWindow);
  if (result == ESwitch::kRefused) return 0;
  if (result == ESwitch::kUnchanged || result == ESwitch::kStopped) return 1;
  m_widgets.snapshotCheck->setChecked(false);
  m_widgets.inputWindow->SetLocked(0);
  if (result == ESwitch::kSwitched) m_status.SetCamera(m_cameras.CameraEntry(index));
  m_status.SetCameraRunning(true);
  m_started(result == ESwitch::kSwitched);
  return 1;
}

void CCameraControls::FillCombo() {
  QComboBox* combo = m_widgets.combo;
  const QSignalBlocker blocker(combo);
  combo->clear();
  if (!m_cameras.List()) return;
  const QFontMetrics fm(combo->font());
  int widest = 0;
  auto* model = qobject_cast<QStandardItemModel*>(combo->model());
  for (const INFO_CAM_DATA& r : m_cameras.List()->Snapshot()) {
    const QString text = QString::fromStdString(m_cameras.CameraEntry(r.nCamera));
    combo->insertItem(r.nCamera, text);
    // A camera that could not be opened is listed, greyed out.
    if (r.nState == veldrin::kCamStateUnavailable && model && model->item(r.nCamera))
      model->item(r.nCamera)->setEnabled(false);
    widest = std::max(widest, fm.horizontalAdvance(text) + fm.averageCharWidth());
  }
  const QStyle* style = m_dialog->style();
  const int dropWidth = widest + 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth) +
                        style->pixelMetric(QStyle::PM_ScrollBarExtent);
  if (dropWidth > combo->view()->minimumWidth()) combo->view()->setMinimumWidth(dropWidth);
  ShowWholeName();
}

void CCameraControls::ShowWholeName() {
  m_widgets.combo->setToolTip(m_widgets.combo->currentText());
}

void CCameraControls::SelectMainCamera() {
  INFO_CAM_DATA main;
  const QSignalBlocker blocker(m_widgets.combo);
  if (m_cameras.List() && m_cameras.List()->FindByTab(0, main))
    m_widgets.combo->setCurrentIndex(main.nCamera);
  ShowWholeName();
}

void CCameraControls::ShowCurrent() {
  const QSignalBlocker blocker(m_widgets.combo);
  m_widgets.combo->setCurrentIndex(m_cameras.Current());
  ShowWholeName();
}

void CCameraControls::OnComboChanged() {
  const int index = m_widgets.combo->currentIndex();
  if (index == m_cameras.Current()) return;  // already the main camera: nothing to do
  if (m_cameras.List() && m_cameras.List()->GetState(index) == veldrin::kCamStateFree) {
    Switch(index);
  } else {
    AfxFormatMessageBox(nullptr, MB_ICONERROR | MB_OK, veldrin::IDS_UNABLE_TO_OPEN_CAMERA);
  }
  ShowCurrent();
}

void CCameraControls::OnSnapshotMode(bool checked) {
  CKivOpenCVVideoEngine* engine = m_cameras.Engine();
  if (checked) {
    m_widgets.inputWindow->SetLocked(1);
    if (engine) engine->Stop();
    m_status.SetCameraRunning(false);
    const cv::Mat last = m_consumer.GetLastFrame();
    if (!last.empty()) m_widgets.inputWindow->SetImage(last);
  } else {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (engine && engine->Start()) m_status.SetCameraRunning(true);
    QApplication::restoreOverrideCursor();
    m_widgets.inputWindow->SetLocked(0);
  }
}

void CCameraControls::ShowStalled(bool stalled) {
  if (!stalled) {
    m_widgets.inputWindow->setGraphicsEffect(nullptr);
    return;
  }
  auto* grey = new QGraphicsColorizeEffect(m_widgets.inputWindow);
  grey->setColor(QColor(128, 128, 128));
  grey->setStrength(0.85);
  m_widgets.inputWindow->setGraphicsEffect(grey);
}

void CCameraControls::OnConfiguration() {
  m_widgets.savePlaneButton->show();
  CCameraConfiguraionDlg dlg(&m_cameras.Resolutions(),
                             QSize(m_cameras.FrameWidth(), m_cameras.FrameHeight()),
                             m_cameras.FrameDivisor(), m_dialog);
  if (dlg.exec() != QDialog::Accepted) return;

  std::string error;
  if (!m_cameras.Configure(dlg.m_nResolutionIndex, dlg.m_nFrameDivisor, error)) m_say(error);
  m_consumer.SetFrameDivisor(m_cameras.FrameDivisor());
  m_tabs.SetFrameSize(m_cameras.FrameWidth(), m_cameras.FrameHeight());

  INFO_CAM_DATA record;
  if (m_cameras.List() && m_cameras.List()->GetCameraAt(m_cameras.Current(), record)) {
    m_tabs.Layout();
    m_dialog->update();
    // Restarting at the new size makes the windows, the corners and the output follow the size
    // the camera now delivers.
    Switch(m_cameras.Current());
  }
}
