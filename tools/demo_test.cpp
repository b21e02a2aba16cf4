// veldrin-demo as installed beside the programs: its data under XDG_DATA_HOME, and a free
// instance name while another demo runs.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QTest>
#include <filesystem>
#include <string>

#include "testing/child_process.h"
#include "testing/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kBin = VELDRIN_BIN_DIR;

TEST(Demo, TakesTheNextFreeNameWhileADemoRuns) {
  const veldrin_test::CScratchDir home("demo-home");
  const veldrin_test::CScratchDir output("demo-output");
  // Not the user's "veldrin-demo": a demo on this machine must not change the test.
  const std::string base = "veldrin-demo-test-" + std::to_string(::getpid());
  veldrin_test::CChildProcess running(
      {kBin + "/veldrin-host", "--name", base, "--folder", (home.Path() / "running").string(),
       "--media", "297x210", "--seconds", "120"},
      output.Path());
  ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists("/dev/shm/" + base); }, 10000));

  const veldrin_test::SRunResult r = veldrin_test::RunProgram(
      {kBin + "/veldrin-demo"}, output.Path(),
      {"XDG_DATA_HOME=" + home.Path().string(), "VELDRIN_DEMO_NAME=" + base,
       "VELDRIN_DEMO_HEADLESS=1", "VELDRIN_SCREENSHOT_AFTER_MS=1500"},
      std::chrono::seconds(90));
  const fs::path data = home.Path() / "veldrin" / "demo" / (base + "-2");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("demo: instance " + base + "-2, data folder " + data.string() + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(fs::exists(data / "main-window.png"));
  EXPECT_TRUE(fs::exists(data / "published.bmp"));
  running.Signal(SIGTERM);
  EXPECT_EQ(running.Wait(), 0) << running.Errors();
}

}  // namespace
