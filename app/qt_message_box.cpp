#include "app/qt_message_box.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

struct CQtMessageBox::SState {
  struct SPending {
    bool done = false;
    int answer = IDOK;
  };

  std::mutex mutex;
  std::condition_variable changed;
  bool quitting = false;
  QObject* receiver = nullptr;  // lives on the UI thread; null once destroyed
  std::set<std::shared_ptr<SPending>> pending;

  // Called with `mutex` held.
  void ReleaseAll() {
    quitting = true;
    for (const auto& call : pending) call->done = true;  // answers stay DefaultAnswer
    changed.notify_all();
  }
};

namespace {

// UI thread only, like the boxes.
QString& Caption() {
  static QString caption;
  return caption;
}

// The boxes ShowQtMessageBox has open, innermost last. UI thread only.
std::vector<QMessageBox*>& OpenBoxes() {
  static std::vector<QMessageBox*> boxes;
  return boxes;
}

}  // namespace

void veldrin::SetMessageBoxCaption(const std::string& caption) {
  Caption() = QString::fromStdString(caption);
}

int veldrin::ShowQtMessageBox(const std::string& text, unsigned type) {
  if (QCoreApplication::closingDown()) return veldrin::DefaultAnswer(type);
  const bool yesNo = (type & MB_TYPEMASK) == MB_YESNO;
  QMessageBox box(
      (type & MB_ICONMASK) == MB_ICONERROR ? QMessageBox::Critical : QMessageBox::NoIcon,
      Caption().isEmpty() ? QGuiApplication::applicationDisplayName() : Caption(),
      QString::fromUtf8(text), yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
  if (yesNo) box.setDefaultButton((type & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
  // Texts come from printed codes, file names and instance names: never interpreted as markup.
  box.setTextFormat(Qt::PlainText);
  OpenBoxes().push_back(&box);
  box.exec();
  std::erase(OpenBoxes(), &box);
  // A box closed without a button (Escape, the application quitting) answers as the default.
  QAbstractButton* clicked = box.clickedButton();
  if (yesNo) return clicked == box.button(QMessageBox::Yes) ? IDYES : IDNO;
  return IDOK;
}

CQtMessageBox::CQtMessageBox()
    : m_state(std::make_shared<SState>()), m_uiThread(QThread::currentThread()) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QCoreApplication::closingDown()) {
    m_state->quitting = true;
    return;
  }
  // A child of the application, so it dies with it on the UI thread; its death or the end of
  // the main loop releases every waiting caller.
  m_state->receiver = new QObject(app);
  std::weak_ptr<SState> weak = m_state;
  QObject::connect(m_state->receiver, &QObject::destroyed, [weak] {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->mutex);
      state->receiver = nullptr;
      state->ReleaseAll();
    }
  });
  QObject::connect(app, &QCoreApplication::aboutToQuit, m_state->receiver, [weak] {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->mutex);
      state->ReleaseAll();
    }
  });
}

void CQtMessageBox::CloseAll() {
  if (QThread::currentThread() != m_uiThread) return;
  // A closed box answers as if closed without a button: the default answer.
  for (QMessageBox* box : std::vector<QMessageBox*>(OpenBoxes())) box->done(QMessageBox::Cancel);
}

CQtMessageBox::~CQtMessageBox() {
  std::lock_guard lock(m_state->mutex);
  m_state->ReleaseAll();
  // The receiver stays with the application: it may be destroyed only on the UI thread, and
  // this object may be released on any.
}

int CQtMessageBox::Show(const std::string& text, unsigned type) {
  const int fallback = veldrin::DefaultAnswer(type);
  if (QThread::currentThread() == m_uiThread) {
    {
      std::lock_guard lock(m_state->mutex);
      if (m_state->quitting) return fallback;
    }
    return veldrin::ShowQtMessageBox(text, type);
  }

  auto call = std::make_shared<SState::SPending>();
  call->answer = fallback;
  std::unique_lock lock(m_state->mutex);
  if (m_state->quitting || m_state->receiver == nullptr) return fallback;
  m_state->pending.insert(call);
  // Posted under the mutex: the receiver cannot be destroyed meanwhile, since its destroyed
  // handler needs the same mutex.
  std::weak_ptr<SState> weak = m_state;
  QMetaObject::invokeMethod(
      m_state->receiver,
      [weak, call, text, type] {
        auto state = weak.lock();
        if (!state) return;
        {
          std::lock_guard uiLock(state->mutex);
          if (call->done) return;  // released while queued
        }
        const int answer = veldrin::ShowQtMessageBox(text, type);
        std::lock_guard uiLock(state->mutex);
        if (!call->done) {
          call->answer = answer;
          call->done = true;
        }
        state->changed.notify_all();
      },
      Qt::QueuedConnection);
  m_state->changed.wait(lock, [&] { return call->done; });
  m_state->pending.erase(call);
  return call->answer;
}
