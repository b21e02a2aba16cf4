// veldrin-host: plays the host's side of the status block, so the tool can be developed, shown
// and tested without the RIP. See --help and docs/host-protocol.md.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "hostlink/bmp_format.h"
#include "hostlink/shared_status_block.h"
#include "platform/file_io.h"
#include "platform/shared_memory.h"

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
                    [-- COMMAND ARGS...]

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
  -- COMMAND ARGS...  launch COMMAND ARGS... NAME (the instance name appended as
                      the last argument) once the block is ready; the host ends
                      when the command ends
  --help              this text

Pictures: whenever the tool sets the ready flag, the host reads DIR/NAME.bmp,
checks it is the 24-bit uncompressed BMP the tool writes (54-byte headers,
positive height, rows padded to 4 bytes, sizes consistent), counts it, keeps it
and clears the flag. A picture that fails the check is reported on stderr,
counted as rejected and the flag is cleared all the same.

Changing the media size while running: write "WIDTHxHEIGHT" to the control
file, e.g.  echo 297x210 > DIR/host-media.txt
The file is read every 50 ms; what it holds when the host starts is ignored.

Ending: after N pictures, S seconds, SIGINT/SIGTERM (Ctrl-C) or the launched
command's end. The host then releases its attachment, so the tool reads the
host count 0 and ends itself (a launched command is sent SIGTERM if it is still
running 5 s later). Last line on stdout:
  received N pictures WIDTHxHEIGHT at R/s
(R over the whole run; ", K rejected" is added when pictures were rejected).

Exit status: 0 on a normal end, 1 when the block, folder or command could not be
set up, 2 on a usage error.
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

bool ParseMedia(std::string text, int& width, int& height) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.erase(0, 1);
  const std::size_t x = text.find_first_of("xX");
  long w = 0, h = 0;
  if (x == std::string::npos || !ParsePositive(text.substr(0, x), w) ||
      !ParsePositive(text.substr(x + 1), h) || w > 1000000 || h > 1000000) {
    return false;
  }
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
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
      if (!ParseMedia(value, opt.mediaWidth, opt.mediaHeight)) {
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
  if (!veldrin::CSharedMemory::IsValidName(opt.name)) {
    return Fail("--name wants an instance name without \"/\"", 2);
  }
  if (opt.folder.empty()) return Fail("--folder is required", 2);
  if (!haveMedia) return Fail("--media is required", 2);
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

struct SReceived {
  long count = 0;
  long rejected = 0;
  int width = 0;
  int height = 0;
  std::string latest;
  bool bLatestKept = true;
};

void TakePicture(const std::string& path, SReceived& got) {
  std::string bytes;
  int width = 0, height = 0;
  std::string why = "cannot read it";
  // The header's size field cannot state a larger file.
  if (veldrin::ReadWholeFile(path, bytes, std::numeric_limits<std::uint32_t>::max()) ==
      veldrin::EFileRead::kRead)
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
  got.bLatestKept = false;
}

void KeepLatest(const std::string& keepPath, SReceived& got) {
  if (got.bLatestKept) return;
  if (!veldrin::ReplaceFileUnflushed(keepPath, {got.latest})) Log("cannot write " + keepPath);
  got.bLatestKept = true;
}

// Watches the control file; answers true with a new size when its content changed to one.
class CMediaControl {
 public:
  explicit CMediaControl(std::string path) : m_strPath(std::move(path)) { Changed(); }

  bool Poll(int& width, int& height) {
    if (!Changed()) return false;
    if (ParseMedia(m_strContent, width, height)) return true;
    if (!m_strContent.empty()) Log(m_strPath + ": want WIDTHxHEIGHT, e.g. 297x210");
    return false;
  }

 private:
  bool Changed() {
    std::string content;
    veldrin::ReadWholeFile(m_strPath, content, kMaxControlFile);
    if (content == m_strContent) return false;
    m_strContent = content;
    return true;
  }

  std::string m_strPath;
  std::string m_strContent;
};

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

  // A block left under the name by a host that died would carry its stale counts.
  {
    veldrin::CSharedMemory stale(opt.name, sizeof(STATUS_BLOCK), false);
    if (stale.IsMapped()) {
      Log("replacing the block already under " + opt.name);
      veldrin::CSharedMemory::Unlink(opt.name);
    }
  }

  auto block = std::make_unique<CSharedStatusBlock>(opt.name, 1);
  if (!block->IsOpen()) return Fail("cannot create the block " + opt.name, 1);
  if (!block->SetFolder(folder)) {
    return Fail("the folder path does not fit the block (259 UTF-16 units)", 1);
  }
  block->SetMediaSize(mediaHeight, mediaWidth);
  Log("block " + opt.name + " ready: folder " + folder + ", media " + std::to_string(mediaWidth) +
      "x" + std::to_string(mediaHeight) + " mm");

  CChild child;
  if (!opt.command.empty() && !child.Launch(opt.command, opt.name)) return 1;

  const auto start = Clock::now();
  auto nextControl = start;
  auto nextKeep = start;
  unsigned lastOpen = 0;
  SReceived got;
  while (!g_bStop) {
    const auto now = Clock::now();

    const unsigned open = block->GetOpenCount();
    if (open != lastOpen) {
      Log(open > lastOpen ? "tool attached" : "tool detached");
      lastOpen = open;
    }
    // A tool overwrites the media size when it attaches; put ours back.
    int height = 0, width = 0;
    block->GetMediaSize(height, width);
    if (height != mediaHeight || width != mediaWidth) block->SetMediaSize(mediaHeight, mediaWidth);

    if (block->IsImageReady()) {
      TakePicture(block->GetImagePath(), got);
      block->AcknowledgeImage();
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
        block->SetMediaSize(mediaHeight, mediaWidth);
        Log("media " + std::to_string(width) + "x" + std::to_string(height) + " mm");
      }
      nextControl = now + kControlFileInterval;
    }
    if (child.HasEnded()) break;
    if (opt.seconds > 0 && now - start >= std::chrono::duration<double>(opt.seconds)) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

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
  std::printf("%s\n", summary.c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SOptions opt;
  if (const int status = ParseArguments(argc, argv, opt); status != 0) {
    return status == kShowedHelp ? 0 : status;
  }
  return Run(opt);
}
