#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace veldrin_test {

// A program run as a child process: the one way tests start the tools. Its standard output and
// error go to files in `outputDir` (a chatty child never blocks on a full pipe, and the output can
// be read while it runs). A child still running when the object goes is killed and reaped.
class CChildProcess {
 public:
  // `args[0]` is the program's path. `env` holds NAME=VALUE entries set on top of this process's
  // environment. Started() tells whether the program could be started.
  CChildProcess(std::vector<std::string> args, const std::filesystem::path& outputDir,
                const std::vector<std::string>& env = {});
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool Started() const { return m_pid > 0 || m_exitCode >= 0; }
  // Waits at most `limit` for the child to end. Returns its exit code (128 + the signal when a
  // signal ended it), or -1 when it is still running or never started.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
  void Signal(int signal) const;

  std::string Output() const;
  std::string Errors() const;
  void RemoveOutputFiles() const;

 private:
  pid_t m_pid = -1;
  int m_exitCode = -1;
  std::filesystem::path m_outPath;
  std::filesystem::path m_errPath;
};

// What a program run to its end left: the exit code and its two output streams.
struct SRunResult {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end (killed after `limit`), as CChildProcess starts it.
SRunResult RunProgram(std::vector<std::string> args, const std::filesystem::path& outputDir,
                      const std::vector<std::string>& env = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(60));

// The "name value" lines a tool prints, in order, up to the first line that is not one.
std::vector<std::pair<std::string, double>> NameValueLines(const std::string& out);

}  // namespace veldrin_test
