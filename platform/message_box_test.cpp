#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "resources/string_table.h"
#include "testing/scripted_message_box.h"

namespace {

using namespace std::chrono_literals;
using veldrin::CScriptedMessageBox;

TEST(MessageBox, StringTableBoxShowsTheEntryWithItsTypeAndReturnsTheAnswer) {
  auto box = std::make_shared<CScriptedMessageBox>();
  CScopedMessageBoxService scope(box);
  box->QueueAnswer(IDYES);
  box->QueueAnswer(IDNO);

  EXPECT_EQ(AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_CONFIRM_REMOVE_CALIBRATION), IDYES);
  EXPECT_EQ(AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_PREFERRED_CAMERA_UNAVAILABLE),
            IDNO);
  EXPECT_EQ(AfxFormatMessageBox(nullptr, MB_ICONERROR, veldrin::IDS_UNABLE_TO_OPEN_CAMERA), IDOK);

  const auto calls = box->Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].text, "Are you sure you want to remove the calibration?");
  EXPECT_EQ(calls[0].type, MB_YESNO);
  EXPECT_EQ(calls[1].text,
            "Preferred camera is not available.\n Do you want to try using another one ?");
  EXPECT_EQ(calls[2].text, "Unable to open camera");
  EXPECT_EQ(calls[2].type, MB_ICONERROR);
  EXPECT_EQ(calls[2].thread, gettid());
}

TEST(MessageBox, UnknownStringIdShowsNothingAndIsNeverAYes) {
  auto box = std::make_shared<CScriptedMessageBox>();
  CScopedMessageBoxService scope(box);
  box->QueueAnswer(IDYES);
  EXPECT_EQ(AfxFormatMessageBox(nullptr, MB_YESNO, 99999), 0);
  EXPECT_TRUE(box->Calls().empty());
}

TEST(MessageBox, ConsoleServiceWritesTheTextAndRefusesYesNoQuestions) {
  CScopedMessageBoxService scope(nullptr);  // the console service
  testing::internal::CaptureStderr();
  EXPECT_EQ(AfxMessageBox("plain text"), IDOK);
  EXPECT_EQ(AfxMessageBox("broken", MB_ICONERROR), IDOK);
  EXPECT_EQ(AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_CONFIRM_OVERWRITE_CALIBRATION),
            IDNO);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("plain text\n"), std::string::npos);
  EXPECT_NE(err.find("broken\n"), std::string::npos);
  EXPECT_NE(err.find("Are you sure you want to overwrite the calibration?"), std::string::npos);
}

TEST(MessageBox, ScopedServiceRestoresThePreviousOne) {
  auto outer = std::make_shared<CScriptedMessageBox>();
  CScopedMessageBoxService outerScope(outer);
  {
    auto inner = std::make_shared<CScriptedMessageBox>();
    CScopedMessageBoxService innerScope(inner);
    AfxMessageBox("inner");
    EXPECT_EQ(inner->Calls().size(), 1u);
  }
  AfxMessageBox("outer");
  ASSERT_EQ(outer->Calls().size(), 1u);
  EXPECT_EQ(outer->Calls()[0].text, "outer");
}

// A box shown on a worker keeps its service alive even after the service has been replaced and
// every other reference dropped; the box then closes normally.
TEST(MessageBox, ReplacingTheServiceNeverPullsItFromUnderAnOpenBox) {
  std::weak_ptr<CScriptedMessageBox> weak;
  std::future<int> answer;
  {
    auto box = std::make_shared<CScriptedMessageBox>();
    weak = box;
    box->SetHold(true);
    box->QueueAnswer(IDYES);
    veldrin::SetMessageBoxService(box);
    answer = std::async(std::launch::async, [] { return AfxMessageBox("held", MB_YESNO); });
    ASSERT_TRUE(box->WaitForOpen(1, 5s));
    veldrin::SetMessageBoxService(nullptr);
    EXPECT_EQ(answer.wait_for(50ms), std::future_status::timeout);
  }
  auto box = weak.lock();
  ASSERT_TRUE(box);  // only the open box holds it now
  EXPECT_NE(box->Calls()[0].thread, gettid());
  box->ReleaseOne();
  box.reset();
  EXPECT_EQ(answer.get(), IDYES);
  EXPECT_TRUE(weak.expired());
}

TEST(MessageBox, ServiceCanBeSwappedWhileOtherThreadsShowBoxes) {
  auto a = std::make_shared<CScriptedMessageBox>();
  auto b = std::make_shared<CScriptedMessageBox>();
  CScopedMessageBoxService scope(a);
  std::vector<std::thread> workers;
  workers.reserve(3);
  for (int i = 0; i < 3; ++i) {
    workers.emplace_back([] {
      for (int n = 0; n < 200; ++n) EXPECT_EQ(AfxMessageBox("x"), IDOK);
    });
  }
  for (int i = 0; i < 200; ++i) veldrin::SetMessageBoxService(i % 2 ? a : b);
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(a->Calls().size() + b->Calls().size(), 600u);  // every box reached a service
}

}  // namespace
