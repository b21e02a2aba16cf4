#include "app/qt_message_box.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "testing/qt_app.h"

namespace {

using namespace std::chrono_literals;

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(
    new veldrin_test::CQtAppEnvironment("qt_message_box_test", "Veldrin Test"));

// Runs the UI event loop until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, int milliseconds = 5000) {
  return QTest::qWaitFor(done, milliseconds);
}

struct SSeenBox {
  QString caption;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  Qt::TextFormat format = Qt::AutoText;
  bool callerStillWaiting = false;
};

// Watches for the modal box and presses `button` on it; records what it saw.
void PressWhenShown(QMessageBox::StandardButton button, SSeenBox* seen,
                    const std::function<bool()>& callerWaiting) {
  auto* poll = new QTimer;
  poll->setInterval(20);
  QObject::connect(poll, &QTimer::timeout, [=] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    seen->caption = box->windowTitle();
    seen->text = box->text();
    seen->icon = box->icon();
    seen->buttons = box->standardButtons();
    seen->format = box->textFormat();
    seen->callerStillWaiting = callerWaiting();
    poll->stop();
    poll->deleteLater();
    box->button(button)->click();
  });
  poll->start();
}

TEST(QtMessageBox, BoxFromAWorkerIsShownOnTheUiThreadAndBlocksTheWorkerUntilClosed) {
  CQtMessageBox service;
  struct SCase {
    unsigned type;
    QMessageBox::StandardButton press;
    int answer;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
  };
  const SCase cases[] = {
      {MB_OK, QMessageBox::Ok, IDOK, QMessageBox::NoIcon, QMessageBox::Ok},
      {MB_ICONERROR, QMessageBox::Ok, IDOK, QMessageBox::Critical, QMessageBox::Ok},
      {MB_YESNO, QMessageBox::Yes, IDYES, QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No},
      {MB_YESNO, QMessageBox::No, IDNO, QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No},
  };
  for (const SCase& c : cases) {
    std::atomic<bool> returned{false};
    int answer = 0;
    std::thread worker([&] {
      answer = service.Show("Größe: 210 mm\nzweite Zeile", c.type);
      returned = true;
    });
    SSeenBox seen;
    PressWhenShown(c.press, &seen, [&] { return !returned.load(); });
    EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(seen.callerStillWaiting) << "type " << c.type;
    EXPECT_EQ(answer, c.answer) << "type " << c.type;
    EXPECT_EQ(seen.caption, "Veldrin Test");
    EXPECT_EQ(seen.text, QString::fromUtf8("Größe: 210 mm\nzweite Zeile"));
    EXPECT_EQ(seen.icon, c.icon);
    EXPECT_EQ(seen.buttons, c.buttons);
  }
}

TEST(QtMessageBox, BoxOnTheUiThreadIsShownDirectly) {
  auto service = std::make_shared<CQtMessageBox>();
  CScopedMessageBoxService scope(service);
  SSeenBox seen;
  PressWhenShown(QMessageBox::Yes, &seen, [] { return true; });
  EXPECT_EQ(AfxFormatMessageBox(nullptr, MB_YESNO, 104), IDYES);
  EXPECT_EQ(seen.text, "Are you sure you want to remove the calibration?");
}

// Enter answers the default button: No when the question says so, so that it confirms nothing.
TEST(QtMessageBox, SecondDefaultButtonMakesEnterAnswerNo) {
  auto service = std::make_shared<CQtMessageBox>();
  CScopedMessageBoxService scope(service);
  for (const auto& [type, expected] :
       {std::pair{MB_YESNO | MB_DEFBUTTON2, IDNO}, std::pair{MB_YESNO, IDYES}}) {
    QTimer::singleShot(100, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
        QTest::keyClick(box, Qt::Key_Return);
    });
    EXPECT_EQ(AfxMessageBox("Overwrite the calibration \"Demo sheet\"?", type), expected);
  }
}

// Texts come from printed codes and from files: markup in them must reach the operator as it is.
TEST(QtMessageBox, TextIsShownAsPlainTextNeverAsMarkup) {
  CQtMessageBox service;
  const std::string text = "<h1>BIG</h1><img src=\"/etc/passwd\"> & <b>bold</b>";
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    service.Show(text, MB_OK);
    returned = true;
  });
  SSeenBox seen;
  PressWhenShown(QMessageBox::Ok, &seen, [] { return true; });
  EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(seen.format, Qt::PlainText);
  EXPECT_EQ(seen.text, QString::fromStdString(text));
}

TEST(QtMessageBox, BoxesFromSeveralWorkersAreAllShownAndAnswered) {
  CQtMessageBox service;
  std::atomic<int> returned{0};
  std::thread a([&] { service.Show("a", MB_OK), ++returned; });
  std::thread b([&] { service.Show("b", MB_OK), ++returned; });
  int shown = 0;
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++shown;
      box->button(QMessageBox::Ok)->click();
    }
  });
  poll->start(20);
  EXPECT_TRUE(PumpUntil([&] { return returned.load() == 2; }));
  delete poll;
  a.join();
  b.join();
  EXPECT_EQ(shown, 2);
}

// Quitting releases a worker whose box is queued or open, and later calls answer at once.
TEST(QtMessageBox, QuittingAnswersWaitingAndLaterCallersWithoutHanging) {
  CQtMessageBox service;
  std::promise<int> answer;
  std::thread worker([&] { answer.set_value(service.Show("Remove?", MB_YESNO)); });
  QTimer::singleShot(200, [] { QCoreApplication::quit(); });
  QCoreApplication::exec();
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(future.get(), IDNO);
  worker.join();

  std::thread late([&] { EXPECT_EQ(service.Show("late", MB_OK), IDOK); });
  late.join();
  EXPECT_EQ(service.Show("late on the UI thread", MB_YESNO), IDNO);
}

}  // namespace
