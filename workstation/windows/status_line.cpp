#include "workstation/windows/status_line.h"

#include "workstation/status_model.h"

CStatusLine::CStatusLine(CStatusModel& model, QWidget* parent) : QLabel(parent), m_model(model) {
  setObjectName(QStringLiteral("statusLine"));
  setFrameShape(QFrame::StyledPanel);
  setTextFormat(Qt::PlainText);
  // A line longer than the window wraps (the owner gives it two lines); the full text is also
  // in the tool tip.
  setWordWrap(true);
  setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  connect(&m_timer, &QTimer::timeout, this, [this] { Refresh(); });
  m_timer.start(kRefreshMs);
  Refresh();
}

void CStatusLine::Refresh() {
  const QString text = QString::fromStdString(m_model.Text());
  if (text != this->text()) {
    setText(text);
    setToolTip(text);
  }
  const bool stalled = m_model.CameraStalled();
  if (stalled != m_stalled) {
    m_stalled = stalled;
    emit CameraStalledChanged(stalled);
  }
}
