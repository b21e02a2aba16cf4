// The handshake across two real processes: the host simulator on one side, this test as the tool.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <opencv2/core.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/shared_status_block.h"
#include "platform/shared_memory.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Generous: the machine may be loaded; a healthy run takes milliseconds.
constexpr auto kPatience = std::chrono::seconds(20);

bool WaitUntil(const std::function<bool()>& done) {
  const auto end = Clock::now() + kPatience;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class HostHandshake : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    m_name = "veldrin-handshake-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    const char* base = std::getenv("VELDRIN_TEST_TMP");
    const fs::path root =
        fs::absolute(base != nullptr ? fs::path(base) : fs::temp_directory_path());
    fs::create_directories(root);
    std::string templ = (root / "handshake-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    m_dir = fs::path(templ).lexically_normal();
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "host stderr:\n" << HostErrors();
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    veldrin::CSharedMemory::Unlink(m_name);
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  // Starts veldrin-host with the given arguments, its output going to files in the folder.
  void StartHost(std::vector<std::string> args) {
    args.insert(args.begin(), std::string(VELDRIN_BIN_DIR) + "/veldrin-host");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (m_dir / "host.out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (m_dir / "host.err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(err, 0) << "cannot start " << argv[0];
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

  int WaitForHostExit() {
    int status = -1;
    WaitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string HostOutput() const { return ReadText(m_dir / "host.out"); }
  std::string HostErrors() const { return ReadText(m_dir / "host.err"); }

  std::string m_name;
  fs::path m_dir;
  pid_t m_pid = -1;
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
    tool->GetMediaSize(height, width);
    return height == 200 && width == 300;
  })) << height
      << "x" << width;

  // Width 7 needs row padding, so the host's check of the layout is exercised.
  cv::Mat picture(5, 7, CV_8UC3);
  std::vector<unsigned char> lastFile;
  for (int n = 0; n < 3; ++n) {
    cv::randu(picture, 0, 256);
    ASSERT_EQ(tool->PublishImage(picture.cols, picture.rows, picture.data), 1);
    const std::string bytes = ReadText(tool->GetImagePath());
    lastFile.assign(bytes.begin(), bytes.end());
    ASSERT_TRUE(WaitUntil([&] { return tool->IsImageReady() == 0; })) << "picture " << n;
  }
  const cv::Mat lastPicture = picture.clone();

  // The media size follows the control file while running.
  std::ofstream(m_dir / "host-media.txt") << "320x240\n";
  EXPECT_TRUE(WaitUntil([&] {
    tool->GetMediaSize(height, width);
    return height == 240 && width == 320;
  })) << height
      << "x" << width;

  // A damaged file announced by hand is rejected, and the flag still comes back.
  std::ofstream(tool->GetImagePath(), std::ios::binary) << "BM not a picture";
  {
    veldrin::CSharedMemory raw(m_name, sizeof(STATUS_BLOCK), false);
    ASSERT_TRUE(raw.IsMapped());
    static_cast<STATUS_BLOCK*>(raw.GetView())->nImageReady = 1;
  }
  ASSERT_TRUE(WaitUntil([&] { return tool->IsImageReady() == 0; }));

  kill(m_pid, SIGTERM);
  EXPECT_TRUE(WaitUntil([&] { return tool->GetHostCount() == 0; }));
  EXPECT_EQ(WaitForHostExit(), 0);
  EXPECT_TRUE(std::regex_match(HostOutput(),
                               std::regex("received 3 pictures 7x5 at [0-9.]+/s, 1 rejected\n")))
      << HostOutput();

  // The kept picture is the last good one, byte for byte: rows padded from 21 to 24 bytes,
  // top row first.
  const std::string kept = ReadText(keep);
  EXPECT_EQ(std::vector<unsigned char>(kept.begin(), kept.end()), lastFile);
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
  const std::vector<unsigned char> pixels(std::size_t{4 * 4 * 3}, 0x80);
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
  EXPECT_EQ(ReadText(launched), m_name);
  EXPECT_EQ(HostOutput(), "received 0 pictures at 0.0/s\n");
  EXPECT_FALSE(CSharedStatusBlock(m_name, 0).IsOpen());
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
