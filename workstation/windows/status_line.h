#pragma once

#include <QLabel>
#include <QTimer>

class CStatusModel;

// The one-line status under the pictures (objectName "statusLine"): shows the status model's
// text, refreshed twice a second, and tells when the main camera stops or resumes delivering.
// UI thread only; the model may be fed from any thread.
class CStatusLine : public QLabel {
  Q_OBJECT

 public:
  static constexpr int kRefreshMs = 500;

  CStatusLine(CStatusModel& model, QWidget* parent);

  // Reads the model now (the timer does it on its own).
  void Refresh();
  bool CameraStalled() const { return m_stalled; }

 signals:
  void CameraStalledChanged(bool stalled);

 private:
  CStatusModel& m_model;
  QTimer m_timer;
  bool m_stalled = false;
};
