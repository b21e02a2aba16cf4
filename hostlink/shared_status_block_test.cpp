#include "hostlink/shared_status_block.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_order.h"
#include "platform/file_io.h"
#include "platform/shared_memory.h"
#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace fs = std::filesystem;
using veldrin::ReadLE32;
using veldrin_test::CScratchDir;
using veldrin_test::ReadFileBytes;

namespace {

std::string UniqueName(const char* tag) { return veldrin_test::UniqueInstanceName(tag); }

// Every byte distinct per position so a misplaced row or channel shows.
std::vector<unsigned char> Pattern(int width, int height, int seed) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<unsigned char>(i * 7 + seed);
  }
  return pixels;
}

// Runs `body` in a forked child (limits and mounts stay there) and returns its exit code.
template <typename TBody>
int ExitCodeInChild(TBody body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Tests that publish into a scratch folder of their own.
class SharedStatusBlockFiles : public ::testing::Test {
 protected:
  int FilesInFolder() const { return static_cast<int>(veldrin_test::FileNames(dir.Path()).size()); }
  const CScratchDir dir{"status-block"};
};

// A host with its folder set, and the tool attached to it.
struct CLinkedPair {
  explicit CLinkedPair(const std::string& folder, const char* tag = "pair")
      : name(UniqueName(tag)), host(name, 1) {
    EXPECT_EQ(host.SetFolder(folder), 1);
    tool = std::make_unique<CSharedStatusBlock>(name, 0);
  }
  std::string name;
  CSharedStatusBlock host;
  std::unique_ptr<CSharedStatusBlock> tool;
};

TEST(SharedStatusBlock, AbsentBlockAnswersEmpty) {
  for (const std::string& name : {UniqueName("absent"), std::string(), std::string("a/b")}) {
    SCOPED_TRACE(name);
    CSharedStatusBlock tool(name, 0);
    EXPECT_FALSE(tool.IsOpen());
    int height = -1, width = -1;
    EXPECT_EQ(tool.GetMediaSize(height, width), 0);
    EXPECT_EQ(height, 0);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(tool.GetHostCount(), 0u);
    const std::vector<unsigned char> pixels = Pattern(2, 2, 0);
    EXPECT_EQ(tool.PublishImage(2, 2, pixels.data()), 0);
  }
  // A host cannot create a block under a name that cannot name one either.
  EXPECT_FALSE(CSharedStatusBlock("", 1).IsOpen());
  EXPECT_FALSE(CSharedStatusBlock("x/y", 1).IsOpen());
}

TEST(SharedStatusBlock, LayoutAndAttachmentWrites) {
  const std::string name = UniqueName("layout");
  CSharedStatusBlock host(name, 1);
  ASSERT_TRUE(host.IsOpen());
  ASSERT_TRUE(host.SetMediaSize(297, 210));
  EXPECT_EQ(host.SetFolder("/data/"), 1);

  CSharedMemory raw(name, 544, false);
  ASSERT_TRUE(raw.IsMapped());
  auto* words = static_cast<std::uint32_t*>(raw.GetView());
  auto* bytes = static_cast<unsigned char*>(raw.GetView());
  EXPECT_EQ(words[1], 297u);  // height at offset 4
  EXPECT_EQ(words[2], 210u);  // width at offset 8
  EXPECT_EQ(bytes[12], '/');
  EXPECT_EQ(bytes[13], 0);  // UTF-16 little-endian
  EXPECT_EQ(bytes[14], 'd');
  EXPECT_EQ(words[540 / 4], 1u);  // host count
  EXPECT_EQ(words[536 / 4], 1u);  // create count
  EXPECT_EQ(words[532 / 4], 0u);  // open count

  // The tool overwrites the media size when it attaches, whatever the host wrote.
  {
    CSharedStatusBlock tool(name, 0);
    ASSERT_TRUE(tool.IsOpen());
    EXPECT_EQ(words[1], 640u);
    EXPECT_EQ(words[2], 480u);
    int height = 0, width = 0;
    EXPECT_EQ(tool.GetMediaSize(height, width), 1);
    EXPECT_EQ(height, 640);
    EXPECT_EQ(width, 480);
    EXPECT_EQ(words[532 / 4], 1u);
    EXPECT_EQ(tool.GetFolder(), "/data/");

    EXPECT_EQ(host.SetMediaSize(420, 594), 1);
    EXPECT_EQ(tool.GetMediaSize(height, width), 1);
    EXPECT_EQ(height, 420);
    EXPECT_EQ(width, 594);
    // Host-only operations are refused on the tool's side.
    EXPECT_EQ(tool.SetMediaSize(1, 1), 0);
    EXPECT_EQ(tool.SetFolder("/elsewhere/"), 0);
    EXPECT_EQ(tool.AcknowledgeImage(), 0);
  }
  EXPECT_EQ(words[532 / 4], 0u);

  // A creator starts the handshake and the folder afresh, even on a block left with values.
  words[0] = 1;
  CSharedStatusBlock second(name, 1);
  EXPECT_EQ(words[0], 0u);
  EXPECT_EQ(second.GetFolder(), "");
  EXPECT_EQ(second.GetHostCount(), 2u);
}

TEST(SharedStatusBlock, CountersWhenEitherSideGoesAway) {
  const std::string name = UniqueName("counters");
  auto host = std::make_unique<CSharedStatusBlock>(name, 1);
  auto first = std::make_unique<CSharedStatusBlock>(name, 0);
  EXPECT_EQ(first->GetOpenCount(), 1u);
  first.reset();
  CSharedStatusBlock second(name, 0);
  EXPECT_EQ(second.GetOpenCount(), 1u);
  EXPECT_EQ(second.GetHostCount(), 1u);

  host.reset();
  EXPECT_EQ(second.GetHostCount(), 0u);
  EXPECT_EQ(second.GetCreateCount(), 0u);
  EXPECT_TRUE(second.IsOpen());
  // With the host gone the block cannot be opened afresh.
  EXPECT_FALSE(CSharedStatusBlock(name, 0).IsOpen());

  // Counters already at zero stay there when the sides leave.
  const std::string other = UniqueName("wrap");
  host = std::make_unique<CSharedStatusBlock>(other, 1);
  first = std::make_unique<CSharedStatusBlock>(other, 0);
  CSharedMemory raw(other, 544, false);
  auto* words = static_cast<std::uint32_t*>(raw.GetView());
  words[532 / 4] = 0;
  words[540 / 4] = 0;
  first.reset();
  host.reset();
  EXPECT_EQ(words[532 / 4], 0u);
  EXPECT_EQ(words[540 / 4], 0u);
  CSharedMemory::Unlink(other);
}

TEST(SharedStatusBlock, FolderIsBoundedAndConvertedToUtf8) {
  const std::string name = UniqueName("folder");
  CSharedStatusBlock host(name, 1);
  CSharedStatusBlock tool(name, 0);

  const std::string unicode = "/tmp/d\xC3\xA4t\xC3\xA4/\xE2\x82\xAC\xF0\x9D\x84\x9E/";
  ASSERT_EQ(host.SetFolder(unicode), 1);
  EXPECT_EQ(tool.GetFolder(), unicode);

  // 259 units and the NUL fit; 260 do not, and a refused folder keeps the previous one.
  EXPECT_EQ(host.SetFolder(std::string(259, 'a')), 1);
  EXPECT_EQ(tool.GetFolder(), std::string(259, 'a'));
  EXPECT_EQ(host.SetFolder(std::string(260, 'b')), 0);
  EXPECT_EQ(host.SetFolder("/bad\xFF/"), 0);
  EXPECT_EQ(tool.GetFolder(), std::string(259, 'a'));

  // A host that fills all 260 units leaves no NUL: the read stops at the field's end, before
  // the counters that follow.
  CSharedMemory raw(name, 544, false);
  auto* units = reinterpret_cast<char16_t*>(static_cast<unsigned char*>(raw.GetView()) + 12);
  for (int i = 0; i < 260; ++i) units[i] = u'z';
  EXPECT_EQ(tool.GetFolder(), std::string(260, 'z'));
  EXPECT_EQ(tool.GetImagePath(), std::string(260, 'z') + name + ".bmp");

  // An unpaired surrogate reads as U+FFFD rather than producing invalid UTF-8.
  units[0] = 0xD800;
  units[1] = u'/';
  units[2] = 0;
  EXPECT_EQ(tool.GetFolder(), "\xEF\xBF\xBD/");
}

// A tool that attaches while the host writes the folder must see it empty or whole: a prefix is a
// valid path too, and the picture would be written there.
TEST(SharedStatusBlock, FolderIsNeverSeenHalfWritten) {
  const std::string name = UniqueName("torn");
  CSharedStatusBlock host(name, 1);
  CSharedStatusBlock tool(name, 0);
  const std::string folder = "/srv/rip/instances/" + std::string(200, 'q') + "/";
  std::atomic<bool> done{false};
  std::atomic<bool> torn{false};
  std::string seen;  // written by the reader before it sets torn
  std::thread reader([&] {
    while (!done) {
      const std::string read = tool.GetFolder();
      if (read != "" && read != folder) {
        seen = read;
        torn = true;
        return;
      }
    }
  });
  for (int i = 0; i < 2000 && !torn; ++i) {
    EXPECT_EQ(host.SetFolder(""), 1);
    EXPECT_EQ(host.SetFolder(folder), 1);
  }
  done = true;
  reader.join();
  EXPECT_EQ(seen, "");
}

TEST_F(SharedStatusBlockFiles, BmpLayoutAndRowPadding) {
  CLinkedPair link(dir.Folder(), "bmp");
  const int height = 3;
  for (int width : {1, 2, 3, 4, 5}) {
    SCOPED_TRACE(width);
    const std::vector<unsigned char> pixels = Pattern(width, height, width);
    ASSERT_EQ(link.tool->PublishImage(width, height, pixels.data()), 1);
    EXPECT_EQ(link.host.IsImageReady(), 1);

    const std::string file = ReadFileBytes(dir.Folder() + link.name + ".bmp");
    const std::size_t row = static_cast<std::size_t>(width) * 3;
    const std::size_t stride = (row + 3) / 4 * 4;
    ASSERT_EQ(file.size(), 54 + stride * height);
    EXPECT_EQ(file.substr(0, 2), "BM");
    // Offset and value of each 32-bit field (the height positive; at 26 one plane, 24 bits).
    const std::uint32_t fields[][2] = {
        {2, std::uint32_t(file.size())}, {6, 0},       {10, 54},          {14, 40},
        {18, std::uint32_t(width)},      {22, height}, {26, 1 | 24 << 16}};
    for (const auto& [at, value] : fields) EXPECT_EQ(ReadLE32(file.data() + at), value) << at;
    for (std::size_t at = 30; at < 54; at += 4) EXPECT_EQ(ReadLE32(file.data() + at), 0u) << at;
    // The caller's top row comes first, each row at the padded stride, padded with zeros (the
    // padding buffer is reused from the picture before, which had other pixels there).
    for (int y = 0; y < height; ++y) {
      EXPECT_EQ(0, std::memcmp(file.data() + 54 + y * stride, pixels.data() + y * row, row))
          << "row " << y;
      for (std::size_t at = row; at < stride; ++at) EXPECT_EQ(file[54 + y * stride + at], 0);
    }
    const std::size_t padding[] = {0, 1, 2, 3, 0, 1};
    EXPECT_EQ(stride - row, padding[width]);
    EXPECT_EQ(link.host.AcknowledgeImage(), 1);
  }
  // Nothing but the picture is left in the folder.
  EXPECT_EQ(FilesInFolder(), 1);
}

TEST_F(SharedStatusBlockFiles, OnePictureUntilTheHostTakesIt) {
  CLinkedPair link(dir.Folder(), "once");
  const std::string path = dir.Folder() + link.name + ".bmp";
  const std::vector<unsigned char> first = Pattern(4, 2, 1);
  const std::vector<unsigned char> second = Pattern(4, 2, 2);

  ASSERT_EQ(link.tool->PublishImage(4, 2, first.data()), 1);
  const std::string written = ReadFileBytes(path);
  EXPECT_EQ(link.tool->PublishImage(4, 2, second.data()), 0);
  EXPECT_EQ(ReadFileBytes(path), written);
  EXPECT_EQ(0, std::memcmp(written.data() + 54, first.data(), first.size()));

  EXPECT_EQ(link.host.AcknowledgeImage(), 1);
  ASSERT_EQ(link.tool->PublishImage(4, 2, second.data()), 1);
  EXPECT_EQ(0, std::memcmp(ReadFileBytes(path).data() + 54, second.data(), second.size()));
}

TEST_F(SharedStatusBlockFiles, FailedWriteAnnouncesNothing) {
  const std::vector<unsigned char> pixels = Pattern(3, 3, 0);
  {
    CLinkedPair link(dir.Folder() + "missing/", "nodir");
    EXPECT_EQ(link.tool->PublishImage(3, 3, pixels.data()), 0);
    EXPECT_EQ(link.host.IsImageReady(), 0);
  }
  {
    // The picture's name taken by a directory: the rename fails and the temporary goes.
    CLinkedPair link(dir.Folder(), "occupied");
    fs::create_directory(dir.Folder() + link.name + ".bmp");
    EXPECT_EQ(link.tool->PublishImage(3, 3, pixels.data()), 0);
    EXPECT_EQ(link.host.IsImageReady(), 0);
    EXPECT_EQ(FilesInFolder(), 1);
  }
  {
    CLinkedPair link(dir.Folder(), "args");
    EXPECT_EQ(link.tool->PublishImage(0, 3, pixels.data()), 0);
    EXPECT_EQ(link.tool->PublishImage(3, -1, pixels.data()), 0);
    EXPECT_EQ(link.tool->PublishImage(3, 3, nullptr), 0);
    // Larger than a BMP header can state.
    EXPECT_EQ(link.tool->PublishImage(1 << 16, 1 << 15, pixels.data()), 0);
    EXPECT_EQ(link.host.IsImageReady(), 0);
  }
}

// A write that fails part-way (here: the file-size limit cuts the pixel data) must neither
// announce a picture nor damage the one already in place.
TEST_F(SharedStatusBlockFiles, WriteCutShortKeepsThePreviousPicture) {
  CLinkedPair link(dir.Folder(), "cut");
  const std::string path = dir.Folder() + link.name + ".bmp";
  const std::vector<unsigned char> small = Pattern(4, 4, 3);
  ASSERT_EQ(link.tool->PublishImage(4, 4, small.data()), 1);
  EXPECT_EQ(link.host.AcknowledgeImage(), 1);
  const std::string before = ReadFileBytes(path);

  const std::vector<unsigned char> big = Pattern(64, 64, 4);
  EXPECT_EQ(ExitCodeInChild([&] {
              signal(SIGXFSZ, SIG_IGN);
              rlimit limit{1000, 1000};
              setrlimit(RLIMIT_FSIZE, &limit);
              return link.tool->PublishImage(64, 64, big.data());
            }),
            0)
      << "PublishImage reported a cut-short write as success";
  EXPECT_EQ(link.host.IsImageReady(), 0);
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_EQ(FilesInFolder(), 1);
}

// Two tools on one instance would write the same files: the second leaves the block as it was.
TEST(SharedStatusBlock, ASecondToolLeavesTheBlockUntouched) {
  const std::string name = UniqueName("second");
  CSharedStatusBlock host(name, 1);
  EXPECT_EQ(host.SetFolder("/data/"), 1);
  CSharedStatusBlock first(name, 0);
  ASSERT_TRUE(first.IsOpen());
  EXPECT_EQ(host.SetMediaSize(300, 200), 1);

  CSharedStatusBlock second(name, 0);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.IsServedByAnotherTool(), 1);
  EXPECT_EQ(first.IsServedByAnotherTool(), 0);
  EXPECT_EQ(host.GetOpenCount(), 1u);
  int height = 0, width = 0;
  EXPECT_EQ(host.GetMediaSize(height, width), 1);
  EXPECT_EQ(height, 300);  // not the attachment's 640 x 480
  EXPECT_EQ(width, 200);
  const std::vector<unsigned char> pixels = Pattern(2, 2, 0);
  EXPECT_EQ(second.PublishImage(2, 2, pixels.data()), 0);
  EXPECT_EQ(host.IsImageReady(), 0);
}

// Runs `attach` in a forked child that then waits to be killed; returns once it has attached.
class CAttachedChild {
 public:
  template <typename TAttach>
  explicit CAttachedChild(TAttach attach) {
    int ready[2];
    if (pipe(ready) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      const bool attached = attach();
      const char byte = attached ? 1 : 0;
      [[maybe_unused]] const ssize_t n = write(ready[1], &byte, 1);
      for (;;) pause();
    }
    char byte = 0;
    m_attached = m_pid > 0 && read(ready[0], &byte, 1) == 1 && byte == 1;
    close(ready[0]);
    close(ready[1]);
  }
  ~CAttachedChild() { Kill(); }
  bool Attached() const { return m_attached; }
  // SIGKILL: nothing of the child's own runs, so only what the system releases is released.
  void Kill() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

 private:
  pid_t m_pid = -1;
  bool m_attached = false;
};

// A tool that dies without releasing its claim (SIGKILL, a crash) must not lock the instance for
// good; a live one still keeps every other tool out.
TEST(SharedStatusBlock, AToolKilledLeavesTheInstanceToTheNext) {
  const std::string name = UniqueName("killed");
  CSharedStatusBlock host(name, 1);
  ASSERT_EQ(host.SetFolder("/data/"), 1);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    CAttachedChild live([&] {
      static CSharedStatusBlock* held = nullptr;
      held = new CSharedStatusBlock(name, 0);
      return held->IsOpen() != 0;
    });
    ASSERT_TRUE(live.Attached());
    EXPECT_EQ(host.GetOpenCount(), 1u);
    CSharedStatusBlock refused(name, 0);
    EXPECT_EQ(refused.IsServedByAnotherTool(), 1);

    live.Kill();
    EXPECT_EQ(host.GetOpenCount(), 1u);  // nobody released it
    CSharedStatusBlock next(name, 0);
    ASSERT_TRUE(next.IsOpen());
    EXPECT_EQ(host.GetOpenCount(), 1u);
    EXPECT_EQ(CSharedStatusBlock(name, 0).IsServedByAnotherTool(), 1);
  }
  EXPECT_EQ(host.GetOpenCount(), 0u);
}

// A host started the tool through a wrapper and was killed: no parent-death signal reaches the
// tool and the host's count stays set, but the host's lock on the block is gone with it.
TEST(SharedStatusBlock, AKilledHostIsSeenGoneThroughItsLock) {
  const std::string name = UniqueName("hostkill");
  CAttachedChild host([&] {
    const int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) return false;
    static CSharedStatusBlock* block = nullptr;
    block = new CSharedStatusBlock(name, 1);
    return block->IsOpen() != 0;
  });
  ASSERT_TRUE(host.Attached());
  CSharedStatusBlock tool(name, 0);
  ASSERT_TRUE(tool.IsOpen());
  EXPECT_EQ(tool.GetHostCount(), 1u);
  host.Kill();
  EXPECT_EQ(tool.GetHostCount(), 0u);
  CSharedMemory::Unlink(name);

  // A host that never locks its block is judged by its count alone.
  CSharedStatusBlock unlocked(UniqueName("nolock"), 1);
  CSharedStatusBlock attached(unlocked.GetName(), 0);
  EXPECT_EQ(attached.GetHostCount(), 1u);
}

// Any process of the user may cut the block short. Neither side may die of it: the host counts
// as gone, and an access after the cut reads zeros instead of faulting.
TEST(SharedStatusBlock, ABlockCutShortMeansTheHostIsGone) {
  for (const off_t size : {off_t{0}, off_t{100}}) {
    SCOPED_TRACE(size);
    const std::string name = UniqueName("shrunk");
    CSharedStatusBlock host(name, 1);
    ASSERT_EQ(host.SetFolder("/data/"), 1);
    CSharedStatusBlock tool(name, 0);
    ASSERT_EQ(tool.GetHostCount(), 1u);
    const int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    // Reads and writes straight after the cut, before any check has looked at the size.
    EXPECT_EQ(tool.IsImageReady(), 0);
    EXPECT_EQ(host.AcknowledgeImage(), 1);
    EXPECT_EQ(tool.GetHostCount(), 0u);
    EXPECT_EQ(host.GetHostCount(), 0u);
    const std::vector<unsigned char> pixels = Pattern(2, 2, 0);
    EXPECT_EQ(tool.PublishImage(2, 2, pixels.data()), 0);
    CSharedMemory::Unlink(name);
  }
  // A block too small from the start is not mapped at all.
  const std::string name = UniqueName("small");
  CSharedMemory small(name, 100, true);
  EXPECT_FALSE(CSharedStatusBlock(name, 0).IsOpen());
  CSharedMemory::Unlink(name);
}

// Things planted in the folder: nothing at a path is ever followed, reused or waited on.
TEST_F(SharedStatusBlockFiles, PlantedSymlinksAndFifosAreNeitherFollowedNorWaitedOn) {
  const CScratchDir outside("outside");
  CLinkedPair link(dir.Folder(), "planted");
  const std::string victim = outside.Folder() + "victim";
  veldrin_test::WriteFileBytes(victim, "precious");

  // The fixed temporary name of old, and the next names the temporary-file helper will try.
  fs::create_symlink(victim, dir.Folder() + link.name + ".bmp.tmp");
  std::string probe;
  const int fd = veldrin::CreateTemporaryFile(dir.Folder(), probe);
  ASSERT_GE(fd, 0);
  close(fd);
  fs::remove(probe);
  const std::string stem = probe.substr(0, probe.rfind('.') + 1);
  const int next = std::stoi(probe.substr(probe.rfind('.') + 1)) + 1;
  for (int n = next; n < next + 10; ++n) {
    fs::create_symlink(victim, stem + std::to_string(n));
  }
  ASSERT_EQ(mkfifo((stem + std::to_string(next + 10)).c_str(), 0600), 0);

  const std::vector<unsigned char> pixels = Pattern(8, 8, 5);
  auto publish =
      std::async(std::launch::async, [&] { return link.tool->PublishImage(8, 8, pixels.data()); });
  const bool finished = publish.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  if (!finished) {
    // Let a writer blocked on a FIFO go, so the test ends.
    for (const auto& e : fs::directory_iterator(dir.Path())) {
      if (e.is_fifo()) close(open(e.path().c_str(), O_RDONLY | O_NONBLOCK));
    }
  }
  ASSERT_TRUE(finished) << "publishing waited on a FIFO";
  EXPECT_EQ(publish.get(), 1);
  EXPECT_EQ(ReadFileBytes(victim), "precious");
  const std::string written = ReadFileBytes(dir.Folder() + link.name + ".bmp");
  ASSERT_EQ(written.size(), 54u + 8 * 8 * 3);
  EXPECT_EQ(0, std::memcmp(written.data() + 54, pixels.data(), pixels.size()));
  EXPECT_TRUE(fs::is_symlink(stem + std::to_string(next)));
}

// While the host rewrites the folder it reads empty: nothing may land in the working directory.
TEST_F(SharedStatusBlockFiles, EmptyFolderPublishesNothing) {
  const fs::path before = fs::current_path();
  fs::current_path(dir.Path());
  CLinkedPair link("", "nofolder");
  const std::vector<unsigned char> pixels = Pattern(2, 2, 0);
  EXPECT_EQ(link.tool->PublishImage(2, 2, pixels.data()), 0);
  EXPECT_EQ(link.host.IsImageReady(), 0);
  EXPECT_EQ(link.tool->GetImagePath(), "");
  fs::current_path(before);
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

// The temporary name is short whatever the instance name, so every name whose picture file name
// fits publishes.
TEST_F(SharedStatusBlockFiles, LongestInstanceNamesPublish) {
  for (const std::size_t length : {248u, 251u}) {
    const std::string name = UniqueName("long") + "-";
    const std::string longName = name + std::string(length - name.size(), 'n');
    ASSERT_TRUE(CSharedStatusBlock::IsValidInstanceName(longName));
    CSharedStatusBlock host(longName, 1);
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.SetFolder(dir.Folder()), 1);
    CSharedStatusBlock tool(longName, 0);
    const std::vector<unsigned char> pixels = Pattern(2, 2, 0);
    EXPECT_EQ(tool.PublishImage(2, 2, pixels.data()), 1) << length;
    EXPECT_TRUE(fs::exists(dir.Folder() + longName + ".bmp"));
  }
  EXPECT_FALSE(CSharedStatusBlock::IsValidInstanceName(std::string(252, 'n')));
  EXPECT_FALSE(CSharedStatusBlock::IsValidInstanceName("a/b"));
  EXPECT_FALSE(CSharedStatusBlock::IsValidInstanceName(""));
}

// A nearly full disk: the new picture does not fit beside the old one, which the host has
// already taken. Runs in a child with a small file system of its own mounted on the folder.
TEST_F(SharedStatusBlockFiles, FullDiskMakesRoomByRemovingTheTakenPicture) {
  CLinkedPair link(dir.Folder(), "full");
  const std::vector<unsigned char> first = Pattern(64, 64, 1);
  const std::vector<unsigned char> second = Pattern(64, 64, 2);
  const int code = ExitCodeInChild([&] {
    const bool isolated = unshare(CLONE_NEWNS) == 0 || (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0);
    if (!isolated || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=24k") != 0) {
      return 77;
    }
    // 12 342 bytes take four of the six pages: one picture fits, two do not.
    if (link.tool->PublishImage(64, 64, first.data()) != 1) return 1;
    EXPECT_EQ(link.host.AcknowledgeImage(), 1);
    if (link.tool->PublishImage(64, 64, second.data()) != 1) return 2;
    const std::string written = ReadFileBytes(dir.Folder() + link.name + ".bmp");
    return written.size() == 54 + second.size() &&
                   std::memcmp(written.data() + 54, second.data(), second.size()) == 0
               ? 0
               : 3;
  });
  if (code == 77) GTEST_SKIP() << "cannot mount a small file system here";
  EXPECT_EQ(code, 0) << "1: first picture, 2: second picture, 3: content";
}

}  // namespace
