// veldrin-host: plays the host's side of the status block, so the tool can be developed, shown
// and tested without the RIP. See --help and docs/host-protocol.md.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "hostlink/bmp_format.h"
#include "hostlink/objects_file.h"
#include "hostlink/shared_status_block.h"
#include "platform/file_io.h"
#include "platform/shared_memory.h"
#include "platform/version.h"
#include "tools/host_media.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr auto kControlFileInterval = std::chrono::milliseconds(50);
constexpr auto kKeepInterval = std::chrono::seconds(1);
constexpr auto kChildGrace = std::chrono::seconds(5);
// A size line is a few bytes; a larger control file is not one.
constexpr std::size_t kMaxControlFile = 4096;

const char kUsage[] =
    R"(usage: veldrin-host --name NAME --folder DIR --media WIDTHxHEIGHT
                    [--frames N] [--seconds S] [--keep FILE] [--media-file FILE]
                    [--soak] [-- COMMAND ARGS...]

Plays the host for the calibration tool: creates the shared status block NAME
(/dev/shm/NAME), publishes DIR as the data folder and the media size, and takes
every picture the tool announces.

  --name NAME         instance name: the block's name and the picture's base name
                      (no "/", not empty)
  --folder DIR        data folder; created when missing, written to the block as
                      an absolute path ending with "/" (259 UTF-16 units at most)
  --media WxH         media width and height in millimetres, e.g. 210x297; written
                      at start and again whenever the tool's attachment has
                      overwritten them
  --frames N          end after N pictures have been received
  --seconds S         end after S seconds (decimals allowed)
  --keep FILE         where the latest picture is kept for inspection, byte for
                      byte as the tool wrote it (default DIR/host-latest.bmp);
                      refreshed at most once a second and at the end
  --media-file FILE   media-size control file (default DIR/host-media.txt)
  --soak              long-run check of the launched command (needs --frames and
                      a command): see "Soak" below
  -- COMMAND ARGS...  launch COMMAND ARGS... NAME (the instance name appended as
                      the last argument) once the block is ready; the host ends
                      when the command ends
  --help              this text
  --version           the version

Pictures: whenever the tool sets the ready flag, the host reads DIR/NAME.bmp,
checks it is the 24-bit uncompressed BMP the tool writes (54-byte headers,
positive height, rows padded to 4 bytes, sizes consistent), counts it, keeps it
and clears the flag. A picture that fails the check is reported on stderr,
counted as rejected and the flag is cleared all the same.

Objects: a tool with a depth camera writes DIR/objects.json before each picture;
whenever its object count or heights (whole mm) change, a line goes to stderr:
  veldrin-host: objects N, heights H1 H2 ... mm

Changing the media size while running: write "WIDTHxHEIGHT" to the control
file, e.g.  echo 297x210 > DIR/host-media.txt
The file is read every 50 ms; what it holds when the host starts is ignored.

Ending: after N pictures, S seconds, SIGINT/SIGTERM (Ctrl-C) or the launched
command's end. The host then releases its attachment, so the tool reads the
host count 0 and ends itself (a launched command is sent SIGTERM if it is still
running 5 s later). Last line on stdout:
  received N pictures WIDTHxHEIGHT at R/s
(R over the whole run; ", K rejected" is added when pictures were rejected and
", D announced twice" when the tool announced a file the host had already taken).

Soak: with --soak the last line is instead
  soak: N pictures at R/s, K invalid, D announced twice, RSS A MB at 10 % and
  B MB at the end, threads T at 10 % and U at the end
(one line), measured on the launched command when 10 % of the pictures have
arrived and when the last has, and the exit status is 3 when any picture was
invalid or announced twice, the resident size grew by more than 2 MB after the
10 % mark, or the thread count grew.

One host per name: while a live host holds the block NAME, another host given
the same name says so and ends with status 1. A block left behind by a host that
died is replaced.

Exit status: 0 on a normal end, 1 when the block, folder or command could not be
set up or another host holds the name, 2 on a usage error, 3 when a soak failed.
)";

volatile std::sig_atomic_t g_bStop = 0;

void OnStopSignal(int) { g_bStop = 1; }

struct SOptions {
  std::string name;
  std::string folder;
  int mediaWidth = 0;
  int mediaHeight = 0;
  long frames = 0;
  double seconds = 0;
  std::string keepPath;
  std::string mediaFile;
  bool soak = false;
  std::vector<std::string> command;
};

void Log(const std::string& text) { std::fprintf(stderr, "veldrin-host: %s\n", text.c_str()); }

int Fail(const std::string& text, int status) {
  Log(text);
  return status;
}

bool ParsePositive(const std::string& text, long& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value > 0;
}

constexpr int kShowedHelp = -1;

// Returns 0 when the options are complete, kShowedHelp, or else the exit status to end with.
int ParseArguments(int argc, char** argv, SOptions& opt) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  bool haveMedia = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kShowedHelp;
    }
    if (arg == "--version") {
      std::printf("veldrin-host %s\n", veldrin::VersionText());
      return kShowedHelp;
    }
    if (arg == "--soak") {
      opt.soak = true;
      continue;
    }
    if (arg == "--") {
      for (++i; i < argc; ++i) opt.command.emplace_back(argv[i]);
      if (opt.command.empty()) return Fail("\"--\" needs a command", 2);
      break;
    }
    if (i + 1 >= argc) return Fail("missing value for " + arg + " (see --help)", 2);
    const std::string value = argv[++i];
    if (arg == "--name") {
      opt.name = value;
    } else if (arg == "--folder") {
      opt.folder = value;
    } else if (arg == "--media") {
      if (!veldrin::ParseMediaSize(value, opt.mediaWidth, opt.mediaHeight)) {
        return Fail("--media wants WIDTHxHEIGHT in millimetres, e.g. 210x297", 2);
      }
      haveMedia = true;
    } else if (arg == "--frames") {
      if (!ParsePositive(value, opt.frames)) return Fail("--frames wants a positive count", 2);
    } else if (arg == "--seconds") {
      char* end = nullptr;
      opt.seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(opt.seconds > 0)) {
        return Fail("--seconds wants a positive number", 2);
      }
    } else if (arg == "--keep") {
      opt.keepPath = value;
    } else if (arg == "--media-file") {
      opt.mediaFile = value;
    } else {
      return Fail("unknown option " + arg + " (see --help)", 2);
    }
  }
  if (!CSharedMemory::IsValidName(opt.name)) {
    return Fail("--name wants an instance name without \"/\"", 2);
  }
  if (opt.folder.empty()) return Fail("--folder is required", 2);
  if (!haveMedia) return Fail("--media is required", 2);
  if (opt.soak && (opt.frames == 0 || opt.command.empty())) {
    return Fail("--soak needs --frames and a command", 2);
  }
  return 0;
}

std::string FolderForBlock(const std::string& dir, std::string& error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::path path = fs::absolute(dir, ec);
  if (ec || !fs::is_directory(path, ec)) {
    error = "cannot use folder " + dir;
    return {};
  }
  std::string text = path.lexically_normal().string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

class CChild {
 public:
  bool Launch(const std::vector<std::string>& command, const std::string& name) {
    std::vector<std::string> args = command;
    args.push_back(name);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int err = posix_spawnp(&m_pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (err != 0) {
      Log("cannot launch " + command[0] + ": " + std::system_category().message(err));
      m_pid = -1;
      return false;
    }
    return true;
  }

  bool IsRunning() const { return m_pid > 0; }
  pid_t Pid() const { return m_pid; }

  // True once the child has ended (and was reaped).
  bool HasEnded() {
    if (m_pid <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == 0) return false;
    if (r == m_pid) Report(status);
    m_pid = -1;
    return true;
  }

  // After the block is released the tool ends by itself; a command that does not is asked to.
  void Finish() {
    if (!WaitFor(kChildGrace)) {
      Log("the command is still running; sending SIGTERM");
      kill(m_pid, SIGTERM);
      if (!WaitFor(std::chrono::seconds(2))) {
        kill(m_pid, SIGKILL);
        WaitFor(std::chrono::seconds(60));
      }
    }
  }

 private:
  bool WaitFor(Clock::duration limit) {
    const auto end = Clock::now() + limit;
    while (IsRunning() && !HasEnded()) {
      if (Clock::now() >= end) return false;
      std::this_thread::sleep_for(kPollInterval);
    }
    return true;
  }

  static void Report(int status) {
    if (WIFEXITED(status)) {
      Log("the command exited with status " + std::to_string(WEXITSTATUS(status)));
    } else if (WIFSIGNALED(status)) {
      Log("the command ended by signal " + std::to_string(WTERMSIG(status)));
    }
  }

  pid_t m_pid = -1;
};

// Identifies one file as written: a picture announced again without being rewritten has the same
// identity, while a rewritten one is a new file (a rename changes the change time even when the
// system hands out the freed inode number again).
struct SFileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  std::int64_t ctimeNs = -1;
  bool operator==(const SFileIdentity&) const = default;
};

struct SReceived {
  long count = 0;
  long rejected = 0;
  long duplicates = 0;
  SFileIdentity last;
  int width = 0;
  int height = 0;
  std::string latest;
  bool latestKept = true;
};

void TakePicture(const std::string& path, SReceived& got) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    const SFileIdentity identity{st.st_dev, st.st_ino,
                                 std::int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec};
    if (identity == got.last) {
      ++got.duplicates;
      Log("announced twice: " + path);
    }
    got.last = identity;
  }
  std::string bytes;
  int width = 0, height = 0;
  std::string why = "cannot read it";
  // The header's size field cannot state a larger file.
  if (veldrin::ReadWholeFile(path, bytes, std::numeric_limits<std::uint32_t>::max()) ==
      EFileRead::kRead)
    why = veldrin::CheckBmp(bytes, width, height);
  if (!why.empty()) {
    ++got.rejected;
    Log("rejected " + path + ": " + why);
    return;
  }
  ++got.count;
  got.width = width;
  got.height = height;
  got.latest.swap(bytes);
  got.latestKept = false;
}

// The objects file a depth camera's tool writes beside the picture: its object count and heights,
// logged when they change (rounded to millimetres, so noise does not flood the log). A tool
// without one writes none, and nothing is said.
void LogObjects(const std::string& path, std::string& lastLine) {
  std::uint64_t frame = 0;
  std::vector<SMediaObject> objects;
  std::string error;
  std::string line;
  if (!veldrin::ReadObjectsFile(path, frame, objects, error)) {
    if (error.rfind("no ", 0) == 0) return;  // missing: a tool without a depth camera
    line = error;
  } else {
    line = "objects " + std::to_string(objects.size());
    if (!objects.empty()) {
      line += ", heights";
      for (const SMediaObject& o : objects) line += " " + std::to_string(std::lround(o.heightMm));
      line += " mm";
    }
  }
  if (line == lastLine) return;
  Log(line);
  lastLine = line;
}

void KeepLatest(const std::string& keepPath, SReceived& got) {
  if (got.latestKept) return;
  if (!veldrin::ReplaceFileUnflushed(keepPath, {got.latest})) Log("cannot write " + keepPath);
  got.latestKept = true;
}

// Watches the control file; answers true with a new size when its content changed to one.
class CMediaControl {
 public:
  explicit CMediaControl(std::string path) : m_path(std::move(path)) { Changed(); }

  bool Poll(int& width, int& height) {
    if (!Changed()) return false;
    if (veldrin::ParseMediaSize(m_content, width, height)) return true;
    if (!m_content.empty()) Log(m_path + ": want WIDTHxHEIGHT, e.g. 297x210");
    return false;
  }

 private:
  bool Changed() {
    std::string content;
    // A missing or unreadable control file reads as empty: no change asked for.
    (void)veldrin::ReadWholeFile(m_path, content, kMaxControlFile);
    if (content == m_content) return false;
    m_content = content;
    return true;
  }

  std::string m_path;
  std::string m_content;
};

enum class EClaim { kClaimed, kHeld, kFailed };

// Claims the name for this host with an exclusive lock on the block's shared-memory object. The
// system drops the lock when the process ends, however it ends, so a block whose lock is free was
// left by a host that died and is replaced, while one whose lock is held belongs to a live host.
// On success `fd` keeps the lock until it is closed.
EClaim ClaimName(const std::string& name, int& fd) {
  const std::string object = "/" + name;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      // Waits out another host that opened the fresh object to look at it (below).
      while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
          close(fd);
          return EClaim::kFailed;
        }
      }
      return EClaim::kClaimed;
    }
    if (errno != EEXIST) return EClaim::kFailed;
    const int other = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (other < 0) {
      if (errno == ENOENT) continue;  // removed meanwhile: try to create it again
      return EClaim::kFailed;
    }
    if (flock(other, LOCK_EX | LOCK_NB) != 0) {
      close(other);
      return errno == EWOULDBLOCK ? EClaim::kHeld : EClaim::kFailed;
    }
    // A host that has just created the object takes its lock a moment later; until it has sized
    // the object, give it that moment before calling the object abandoned.
    struct stat st {};
    const bool empty = fstat(other, &st) == 0 && st.st_size == 0;
    if (empty && attempt < 20) {
      close(other);
      std::this_thread::sleep_for(kPollInterval);
      continue;
    }
    Log("replacing the block left under " + name + " by a host that has ended");
    shm_unlink(object.c_str());
    close(other);
  }
  return EClaim::kFailed;
}

// Resident size in kB and thread count of a process, from /proc; -1 when unknown.
struct SProcessUse {
  long rssKb = -1;
  long threads = -1;
};

SProcessUse ReadProcessUse(pid_t pid) {
  SProcessUse use;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) use.rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
    if (line.rfind("Threads:", 0) == 0) use.threads = std::strtol(line.c_str() + 8, nullptr, 10);
  }
  return use;
}

int Run(const SOptions& opt) {
  std::string error;
  const std::string folder = FolderForBlock(opt.folder, error);
  if (folder.empty()) return Fail(error, 1);
  const std::string keepPath = opt.keepPath.empty() ? folder + "host-latest.bmp" : opt.keepPath;
  CMediaControl control(opt.mediaFile.empty() ? folder + "host-media.txt" : opt.mediaFile);
  int mediaWidth = opt.mediaWidth;
  int mediaHeight = opt.mediaHeight;

  // Caught from here on, so a stop request always ends with the block released.
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  // A block left under the name by a host that died would carry its stale counts; one that a
  // live host holds is that host's, and replacing it would cut that host off from its tool.
  int claimFd = -1;
  switch (ClaimName(opt.name, claimFd)) {
    case EClaim::kClaimed:
      break;
    case EClaim::kHeld:
      return Fail("another host is running under the name " + opt.name, 1);
    case EClaim::kFailed:
      return Fail("cannot create the block " + opt.name, 1);
  }
  struct SCloseClaim {
    int fd;
    ~SCloseClaim() { close(fd); }
  } closeClaim{claimFd};

  auto block = std::make_unique<CSharedStatusBlock>(opt.name, 1);
  if (!block->IsOpen()) {
    CSharedMemory::Unlink(opt.name);
    return Fail("cannot create the block " + opt.name, 1);
  }
  if (!block->SetFolder(folder)) {
    return Fail("the folder path does not fit the block (259 UTF-16 units)", 1);
  }
  if (!block->SetMediaSize(mediaHeight, mediaWidth)) return Fail("cannot set the media size", 1);
  Log("block " + opt.name + " ready: folder " + folder + ", media " + std::to_string(mediaWidth) +
      "x" + std::to_string(mediaHeight) + " mm");

  CChild child;
  if (!opt.command.empty() && !child.Launch(opt.command, opt.name)) return 1;

  const auto start = Clock::now();
  auto nextControl = start;
  auto nextKeep = start;
  unsigned lastOpen = 0;
  SReceived got;
  std::string objectsLine;  // the objects last logged
  const long warmUp = std::max(1L, opt.frames / 10);
  SProcessUse atWarmUp;
  SProcessUse atEnd;
  while (!g_bStop) {
    const auto now = Clock::now();

    const unsigned open = block->GetOpenCount();
    if (open != lastOpen) {
      Log(open > lastOpen ? "tool attached" : "tool detached");
      lastOpen = open;
    }
    // A tool overwrites the media size when it attaches; put ours back.
    int height = 0, width = 0;
    // Our own block stays open and its sizes valid, so these cannot fail.
    (void)block->GetMediaSize(height, width);
    if (height != mediaHeight || width != mediaWidth) {
      (void)block->SetMediaSize(mediaHeight, mediaWidth);
    }

    if (block->IsImageReady()) {
      TakePicture(block->GetImagePath(), got);
      LogObjects(folder + veldrin::kObjectsFileName, objectsLine);
      (void)block->AcknowledgeImage();  // our own block: it cannot refuse
      if (opt.soak && got.count == warmUp && atWarmUp.rssKb < 0) {
        atWarmUp = ReadProcessUse(child.Pid());
      }
      if (opt.frames > 0 && got.count >= opt.frames) break;
    }
    if (now >= nextKeep) {
      KeepLatest(keepPath, got);
      nextKeep = now + kKeepInterval;
    }
    if (now >= nextControl) {
      if (control.Poll(width, height)) {
        mediaWidth = width;
        mediaHeight = height;
        (void)block->SetMediaSize(mediaHeight, mediaWidth);  // Poll allows no negative size
        Log("media " + std::to_string(width) + "x" + std::to_string(height) + " mm");
      }
      nextControl = now + kControlFileInterval;
    }
    if (child.HasEnded()) break;
    if (opt.seconds > 0 && now - start >= std::chrono::duration<double>(opt.seconds)) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (opt.soak && child.IsRunning()) atEnd = ReadProcessUse(child.Pid());

  // Releasing the attachment drops the host count to 0, which tells the tool to end.
  block.reset();
  KeepLatest(keepPath, got);
  if (child.IsRunning()) child.Finish();

  std::string summary = "received " + std::to_string(got.count) + " pictures";
  if (got.count > 0) summary += " " + std::to_string(got.width) + "x" + std::to_string(got.height);
  char rate[32];
  std::snprintf(rate, sizeof(rate), " at %.1f/s", elapsed > 0 ? got.count / elapsed : 0.0);
  summary += rate;
  if (got.rejected > 0) summary += ", " + std::to_string(got.rejected) + " rejected";
  if (got.duplicates > 0) summary += ", " + std::to_string(got.duplicates) + " announced twice";
  if (!opt.soak) {
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
    return 0;
  }

  char line[256];
  std::snprintf(line, sizeof(line),
                "soak: %ld pictures at %.1f/s, %ld invalid, %ld announced twice, RSS %.1f MB at "
                "10 %% and %.1f MB at the end, threads %ld at 10 %% and %ld at the end",
                got.count, elapsed > 0 ? got.count / elapsed : 0.0, got.rejected, got.duplicates,
                atWarmUp.rssKb / 1024.0, atEnd.rssKb / 1024.0, atWarmUp.threads, atEnd.threads);
  std::printf("%s\n", line);
  std::fflush(stdout);
  constexpr long kRssGrowthKb = 2048;
  const bool measured = atWarmUp.rssKb >= 0 && atEnd.rssKb >= 0;
  if (!measured) Log("soak: the command ended before it could be measured");
  const bool ok = measured && got.count >= opt.frames && got.rejected == 0 && got.duplicates == 0 &&
                  atEnd.rssKb - atWarmUp.rssKb <= kRssGrowthKb && atEnd.threads <= atWarmUp.threads;
  return ok ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  SOptions opt;
  if (const int status = ParseArguments(argc, argv, opt); status != 0) {
    return status == kShowedHelp ? 0 : status;
  }
  return Run(opt);
}
