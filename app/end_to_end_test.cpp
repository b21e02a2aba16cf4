// The real tool started by the host simulator, as the host starts it: pictures flow through real
// shared memory and files, and the host's exit ends the tool with its settings saved.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>

#include "hostlink/shared_status_block.h"
#include "platform/shared_memory.h"
#include "testing/child_process.h"
#include "testing/scratch_dir.h"
#include "testing/test_files.h"
#include "workstation/camera_settings.h"

namespace fs = std::filesystem;

namespace {

TEST(EndToEnd, HostDrivesTheToolAndItsExitEndsTheTool) {
  const veldrin_test::CScratchDir scratch("e2e");
  const fs::path& dir = scratch.Path();
  const std::string name = veldrin_test::UniqueInstanceName("e2e");

  cv::Mat still(480, 640, CV_8UC3, cv::Scalar(40, 120, 200));
  cv::rectangle(still, {160, 120}, {480, 360}, {255, 255, 255}, -1);
  ASSERT_TRUE(cv::imwrite((dir / "still.png").string(), still));
  CCameraSettings settings(scratch.Folder(), name);
  ASSERT_TRUE(settings.WriteCamera("Desk"));

  const std::string bin = VELDRIN_BIN_DIR;
  const veldrin_test::SRunResult run = veldrin_test::RunProgram(
      {bin + "/veldrin-host", "--name", name, "--folder", dir.string(), "--media", "1000x700",
       "--frames", "5", "--seconds", "60", "--", bin + "/veldrin"},
      dir, {"VELDRIN_CAMERAS=Desk=" + (dir / "still.png").string(), "QT_QPA_PLATFORM=offscreen"});
  const std::string output = run.out + run.err;
  EXPECT_EQ(run.code, 0) << output;
  EXPECT_NE(output.find("received 5 pictures 640x448"), std::string::npos) << output;
  // The rectified sheet: the white default-corner rectangle fills the picture.
  const cv::Mat kept = cv::imread((dir / "host-latest.bmp").string());
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.size(), cv::Size(640, 448));
  EXPECT_GT(cv::mean(kept)[0], 250);

  // The tool saw the host go, ended and wrote its settings on the way out.
  EXPECT_EQ(settings.ReadCamera(), "Desk");
  const std::string ini = veldrin_test::ReadFileBytes(dir / "CamDrv.ini");
  EXPECT_NE(ini.find("CalibIndex=0"), std::string::npos) << ini;
  EXPECT_FALSE(fs::exists("/dev/shm/" + name));
}

bool WaitUntil(const std::function<bool()>& done,
               std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// This test plays the host itself, so the tool's end has no other cause than the one under test.
class ToolEnding : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    m_name = "veldrin-ending-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    cv::Mat still(480, 640, CV_8UC3, cv::Scalar(40, 120, 200));
    ASSERT_TRUE(cv::imwrite((m_scratch.Path() / "still.png").string(), still));
    ASSERT_TRUE(Settings().WriteCamera("Desk"));
    m_host = std::make_unique<CSharedStatusBlock>(m_name, 1);
    ASSERT_TRUE(m_host->IsOpen());
    EXPECT_EQ(m_host->SetFolder(m_scratch.Folder()), 1);
    EXPECT_EQ(m_host->SetMediaSize(700, 1000), 1);
  }

  CCameraSettings Settings() const { return CCameraSettings(m_scratch.Folder(), m_name); }

  std::vector<std::string> Env() const {
    return {"VELDRIN_CAMERAS=Desk=" + (m_scratch.Path() / "still.png").string(),
            "QT_QPA_PLATFORM=offscreen"};
  }

  std::unique_ptr<veldrin_test::CChildProcess> StartTool() const {
    return std::make_unique<veldrin_test::CChildProcess>(
        std::vector<std::string>{std::string(VELDRIN_BIN_DIR) + "/veldrin", m_name},
        m_scratch.Path(), Env());
  }

  // The tool is attached and publishing.
  bool Serving() const {
    return WaitUntil([&] { return m_host->IsImageReady() != 0; }) && m_host->GetOpenCount() == 1;
  }

  veldrin_test::CScratchDir m_scratch{"ending"};
  std::string m_name;
  std::unique_ptr<CSharedStatusBlock> m_host;
};

// Stopping the tool from outside (a service manager, Ctrl-C) ends it as closing its window does:
// engines stopped, settings saved, the block released, status 0.
TEST_F(ToolEnding, TermAndInterruptEndTheToolAsAClosedWindowDoes) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    fs::remove(m_scratch.Path() / "CamDrv.ini");
    ASSERT_TRUE(Settings().WriteCamera("Desk"));
    auto tool = StartTool();
    ASSERT_TRUE(Serving()) << tool->Errors();
    EXPECT_EQ(m_host->AcknowledgeImage(), 1);
    tool->Signal(signal);
    EXPECT_EQ(tool->Wait(std::chrono::seconds(30)), 0) << tool->Errors();
    EXPECT_EQ(m_host->GetOpenCount(), 0u);
    EXPECT_NE(veldrin_test::ReadFileBytes(m_scratch.Path() / "CamDrv.ini").find("CalibIndex=0"),
              std::string::npos);
  }
}

// A host that is killed cannot release its block: the end of the process that started the tool
// counts as the host leaving.
TEST_F(ToolEnding, EndOfItsStarterEndsTheTool) {
  const fs::path pidFile = m_scratch.Path() / "tool.pid";
  veldrin_test::CChildProcess starter(
      {"/bin/sh", "-c",
       "'" + std::string(VELDRIN_BIN_DIR) + "/veldrin' '" + m_name + "' & echo $! > '" +
           pidFile.string() + "'; exec sleep 600"},
      m_scratch.Path(), Env());
  ASSERT_TRUE(Serving());
  const pid_t tool = std::stoi(veldrin_test::ReadFileBytes(pidFile));
  starter.Signal(SIGKILL);
  starter.Wait(std::chrono::seconds(10));
  // Gone, or a zombie waiting for whoever adopted it.
  const auto ended = [tool] {
    const std::string stat = veldrin_test::ReadFileBytes("/proc/" + std::to_string(tool) + "/stat");
    const std::size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat.substr(close + 2, 1) == "Z");
  };
  EXPECT_TRUE(WaitUntil(ended)) << "the tool outlived its starter";
  if (!ended()) ::kill(tool, SIGKILL);
  EXPECT_EQ(m_host->GetOpenCount(), 0u) << "the block was not released";
  EXPECT_EQ(m_host->GetHostCount(), 1u);
}

// Another process cuts the block short while the tool serves: the tool takes it as the host's end
// (settings written, status 1) instead of dying of the fault.
TEST_F(ToolEnding, ABlockCutShortEndsTheToolAsTheHostsEndDoes) {
  auto tool = StartTool();
  ASSERT_TRUE(Serving()) << tool->Errors();
  fs::remove(m_scratch.Path() / "CamDrv.ini");
  const int fd = ::shm_open(("/" + m_name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 0), 0);
  ::close(fd);
  // The block is cut short, so this fails; what counts is that the tool, perhaps between two
  // pictures, touches the block again.
  (void)m_host->AcknowledgeImage();
  EXPECT_EQ(tool->Wait(std::chrono::seconds(30)), 1) << tool->Errors();
  EXPECT_EQ(Settings().ReadCamera(), "Desk");
  m_host.reset();
  CSharedMemory::Unlink(m_name);
}

// The host started the tool through a wrapper and was killed: the wrapper lives on, so no
// parent-death signal comes and the block's count stays set, but the host's lock on the block
// went with it.
TEST(EndToEnd, AKilledHostBehindAWrapperEndsTheTool) {
  const veldrin_test::CScratchDir scratch("wrapped");
  const fs::path& dir = scratch.Path();
  const std::string name = veldrin_test::UniqueInstanceName("wrapped");
  ASSERT_TRUE(
      cv::imwrite((dir / "still.png").string(), cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(90))));
  ASSERT_TRUE(CCameraSettings(scratch.Folder(), name).WriteCamera("Desk"));
  const fs::path pidFile = dir / "tool.pid";
  const std::string bin = VELDRIN_BIN_DIR;
  veldrin_test::CChildProcess host(
      {bin + "/veldrin-host", "--name", name, "--folder", dir.string(), "--media", "1000x700",
       "--seconds", "120", "--", "/bin/sh", "-c",
       "'" + bin + "/veldrin' \"$0\" & echo $! > '" + pidFile.string() + "'; wait"},
      dir, {"VELDRIN_CAMERAS=Desk=" + (dir / "still.png").string(), "QT_QPA_PLATFORM=offscreen"});
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir / "host-latest.bmp"); })) << host.Errors();
  const pid_t tool = std::stoi(veldrin_test::ReadFileBytes(pidFile));
  host.Signal(SIGKILL);
  host.Wait(std::chrono::seconds(10));
  const auto ended = [tool] { return ::kill(tool, 0) != 0; };  // the wrapper reaps it
  EXPECT_TRUE(WaitUntil(ended)) << "the tool outlived its host";
  if (!ended()) ::kill(tool, SIGKILL);
  const std::string ini = veldrin_test::ReadFileBytes(dir / "CamDrv.ini");
  EXPECT_NE(ini.find("CalibIndex=0"), std::string::npos) << ini;
  CSharedMemory::Unlink(name);
}

// One tool per instance: the second says so on stderr and ends with 1, leaving the first alone.
TEST_F(ToolEnding, SecondToolOnTheInstanceEndsWithStatusOne) {
  auto first = StartTool();
  ASSERT_TRUE(Serving()) << first->Errors();
  auto second = StartTool();
  EXPECT_EQ(second->Wait(std::chrono::seconds(30)), 1);
  EXPECT_NE(second->Errors().find("another tool"), std::string::npos) << second->Errors();
  EXPECT_EQ(m_host->GetOpenCount(), 1u);
  EXPECT_EQ(m_host->AcknowledgeImage(), 1);
  EXPECT_TRUE(WaitUntil([&] { return m_host->IsImageReady() != 0; })) << "the first stopped";
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Wait(std::chrono::seconds(30)), 0);
}

// Asked for help, every program answers on stdout and succeeds; the tool opens no window for it
// (no display here: QT_QPA_PLATFORM names one that does not exist).
TEST(Programs, HelpGoesToStdoutWithStatusZero) {
  veldrin_test::CScratchDir out("help-output");
  for (const char* program : {"veldrin", "veldrin-host", "veldrin-calib", "veldrin-probe"}) {
    const veldrin_test::SRunResult r =
        veldrin_test::RunProgram({std::string(VELDRIN_BIN_DIR) + "/" + program, "--help"},
                                 out.Path(), {"QT_QPA_PLATFORM=none"}, std::chrono::seconds(30));
    EXPECT_EQ(r.code, 0) << program << ": " << r.err;
    std::string lower = r.out;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    EXPECT_EQ(lower.rfind("usage: ", 0), 0u) << program << ": " << r.out;
  }
}

}  // namespace
