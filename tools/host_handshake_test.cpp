// The handshake across two real processes: the host simulator on one side, this test as the tool.

#include <gtest/gtest.h>
#include <signal.h>

#include <QTest>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <opencv2/core.hpp>
#include <regex>
#include <string>
#include <vector>

#include "hostlink/shared_status_block.h"
#include "platform/shared_memory.h"
#include "testing/child_process.h"
#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace fs = std::filesystem;

namespace {

using veldrin_test::ReadFileBytes;

// Generous: the machine may be loaded; a healthy run takes milliseconds.
constexpr int kPatienceMs = 20000;

bool WaitUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, kPatienceMs); }

class HostHandshake : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure() && m_host) std::cerr << "host stderr:\n" << HostErrors();
    m_host.reset();
    CSharedMemory::Unlink(m_name);
  }

  // Starts veldrin-host with the given arguments, its output going to files in the folder.
  void StartHost(std::vector<std::string> args) {
    args.insert(args.begin(), std::string(VELDRIN_BIN_DIR) + "/veldrin-host");
    m_host = std::make_unique<veldrin_test::CChildProcess>(args, m_dir);
    ASSERT_TRUE(m_host->Started()) << "cannot start " << args[0];
  }

  void StartHost(const std::string& media, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--name",       m_name,    "--folder",
                                     m_dir.string(), "--media", media};
    args.insert(args.end(), extra.begin(), extra.end());
    StartHost(args);
  }

  // Attaches as the tool once the host has published its folder.
  std::unique_ptr<CSharedStatusBlock> Attach() {
    std::unique_ptr<CSharedStatusBlock> tool;
    WaitUntil([&] {
      if (!tool || !tool->IsOpen()) tool = std::make_unique<CSharedStatusBlock>(m_name, 0);
      return tool->IsOpen() && !tool->GetFolder().empty();
    });
    return tool;
  }

  int WaitForHostExit() { return m_host->Wait(std::chrono::milliseconds(kPatienceMs)); }

  std::string HostOutput() const { return m_host->Output(); }
  std::string HostErrors() const { return m_host->Errors(); }

  veldrin_test::CScratchDir m_scratch{"handshake"};
  const fs::path m_dir = fs::absolute(m_scratch.Path()).lexically_normal();
  const std::string m_name = veldrin_test::UniqueInstanceName("handshake");
  std::unique_ptr<veldrin_test::CChildProcess> m_host;
};

TEST_F(HostHandshake, HostTakesEveryPictureFollowsMediaChangesAndLeaves) {
  const fs::path keep = m_dir / "kept.bmp";
  StartHost("300x200", {"--seconds", "120", "--keep", keep.string()});
  auto tool = Attach();
  ASSERT_TRUE(tool && tool->IsOpen()) << HostErrors();
  EXPECT_EQ(tool->GetFolder(), m_dir.string() + "/");
  EXPECT_EQ(tool->GetHostCount(), 1u);

  // Our attachment wrote 640/480; the host puts its own size back (height first).
  int height = 0, width = 0;
  EXPECT_TRUE(WaitUntil([&] {
    EXPECT_EQ(tool->GetMediaSize(height, width), 1);
    return height == 200 && width == 300;
  })) << height
      << "x" << width;

  // Width 7 needs row padding, so the host's check of the layout is exercised.
  cv::Mat picture(5, 7, CV_8UC3);
  std::string lastFile;
  for (int n = 0; n < 3; ++n) {
    cv::randu(picture, 0, 256);
    ASSERT_EQ(tool->PublishImage(picture.cols, picture.rows, picture.data), 1);
    lastFile = ReadFileBytes(tool->GetImagePath());
    ASSERT_TRUE(WaitUntil([&] { return tool->IsImageReady() == 0; })) << "picture " << n;
  }
  const cv::Mat lastPicture = picture.clone();

  // The media size follows the control file while running.
  veldrin_test::WriteFileBytes(m_dir / "host-media.txt", "320x240\n");
  EXPECT_TRUE(WaitUntil([&] {
    EXPECT_EQ(tool->GetMediaSize(height, width), 1);
    return height == 240 && width == 320;
  })) << height
      << "x" << width;

  // A damaged file announced by hand is rejected, and the flag still comes back.
  veldrin_test::WriteFileBytes(tool->GetImagePath(), "BM not a picture");
  {
    CSharedMemory raw(m_name, sizeof(STATUS_BLOCK), false);
    ASSERT_TRUE(raw.IsMapped());
    static_cast<STATUS_BLOCK*>(raw.GetView())->nImageReady = 1;
  }
  ASSERT_TRUE(WaitUntil([&] { return tool->IsImageReady() == 0; }));

  m_host->Signal(SIGTERM);
  EXPECT_TRUE(WaitUntil([&] { return tool->GetHostCount() == 0; }));
  EXPECT_EQ(WaitForHostExit(), 0);
  EXPECT_TRUE(std::regex_match(HostOutput(),
                               std::regex("received 3 pictures 7x5 at [0-9.]+/s, 1 rejected\n")))
      << HostOutput();

  // The kept picture is the last good one, byte for byte: rows padded from 21 to 24 bytes,
  // top row first.
  const std::string kept = ReadFileBytes(keep);
  EXPECT_EQ(kept, lastFile);
  ASSERT_EQ(kept.size(), 54u + 24u * 5u);
  for (std::size_t y = 0; y < 5; ++y) {
    EXPECT_EQ(0, std::memcmp(kept.data() + 54 + 24 * y, lastPicture.ptr(static_cast<int>(y)), 21))
        << "row " << y;
  }
}

TEST_F(HostHandshake, HostEndsAfterItsPictureCount) {
  StartHost("210x297", {"--frames", "2", "--seconds", "120"});
  auto tool = Attach();
  ASSERT_TRUE(tool && tool->IsOpen()) << HostErrors();
  const std::vector<unsigned char> pixels(std::size_t{4} * 4 * 3, 0x80);
  for (int n = 0; n < 2; ++n) {
    ASSERT_TRUE(WaitUntil([&] { return tool->IsImageReady() == 0; }));
    ASSERT_EQ(tool->PublishImage(4, 4, pixels.data()), 1);
  }
  EXPECT_TRUE(WaitUntil([&] { return tool->GetHostCount() == 0; }));
  EXPECT_EQ(WaitForHostExit(), 0);
  EXPECT_TRUE(std::regex_match(HostOutput(), std::regex("received 2 pictures 4x4 at [0-9.]+/s\n")))
      << HostOutput();
  // The host removed the name: a tool started now finds no host.
  EXPECT_FALSE(CSharedStatusBlock(m_name, 0).IsOpen());
  EXPECT_TRUE(fs::exists(m_dir / "host-latest.bmp"));
}

TEST_F(HostHandshake, LaunchedCommandGetsTheNameAndItsEndEndsTheHost) {
  const fs::path launched = m_dir / "launched.txt";
  StartHost("210x297", {"--seconds", "120", "--", "/bin/sh", "-c",
                        "printf %s \"$0\" > '" + launched.string() + "'"});
  EXPECT_EQ(WaitForHostExit(), 0) << HostErrors();
  EXPECT_EQ(ReadFileBytes(launched), m_name);
  EXPECT_EQ(HostOutput(), "received 0 pictures at 0.0/s\n");
  EXPECT_FALSE(CSharedStatusBlock(m_name, 0).IsOpen());
}

// A second host given a live host's name leaves that host and its tool alone; a block left by a
// host that died is replaced.
TEST_F(HostHandshake, ASecondHostIsRefusedTheNameOfALiveOneButReplacesAnAbandonedBlock) {
  StartHost("300x200", {"--seconds", "120"});
  auto tool = Attach();
  ASSERT_TRUE(tool && tool->IsOpen()) << HostErrors();
  auto first = std::move(m_host);

  StartHost("100x100", {"--seconds", "120"});
  EXPECT_EQ(WaitForHostExit(), 1);
  EXPECT_NE(HostErrors().find("another host"), std::string::npos) << HostErrors();
  m_host = std::move(first);

  EXPECT_EQ(tool->GetHostCount(), 1u);
  EXPECT_EQ(tool->GetFolder(), m_dir.string() + "/");
  const std::vector<unsigned char> pixels(std::size_t{48}, 0x40);
  ASSERT_EQ(tool->PublishImage(4, 4, pixels.data()), 1);
  EXPECT_TRUE(WaitUntil([&] { return tool->IsImageReady() == 0; }));  // the first host took it
  m_host->Signal(SIGTERM);
  EXPECT_EQ(WaitForHostExit(), 0);
  tool.reset();

  // What a killed host leaves: a block with its counts and nobody holding it.
  {
    CSharedStatusBlock dead(m_name, 1);
    ASSERT_TRUE(dead.IsOpen());
    CSharedMemory raw(m_name, sizeof(STATUS_BLOCK), false);
    ASSERT_TRUE(raw.IsMapped());
    static_cast<STATUS_BLOCK*>(raw.GetView())->nCreateCount = 2;  // keeps the name on release
  }
  StartHost("300x200", {"--seconds", "120"});
  // Attached before the host replaced it, the tool would hold the old block.
  ASSERT_TRUE(WaitUntil([&] { return HostErrors().find("ready") != std::string::npos; }));
  tool = Attach();
  ASSERT_TRUE(tool && tool->IsOpen()) << HostErrors();
  EXPECT_EQ(tool->GetHostCount(), 1u);
  EXPECT_NE(HostErrors().find("replacing"), std::string::npos) << HostErrors();
}

TEST_F(HostHandshake, BadArgumentsAreRefused) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--name", "a/b", "--folder", m_dir.string(), "--media", "1x1"},
        std::vector<std::string>{"--name", m_name, "--folder", m_dir.string(), "--media", "0x5"}}) {
    StartHost(args);
    EXPECT_EQ(WaitForHostExit(), 2) << args.back();
    EXPECT_NE(HostErrors(), "");
  }
  EXPECT_FALSE(CSharedStatusBlock(m_name, 0).IsOpen());
}

}  // namespace
