#include "testing/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "testing/test_files.h"

extern char** environ;

namespace veldrin_test {
namespace {

// This process's environment with `overrides` (NAME=VALUE) replacing or adding entries.
std::vector<std::string> Environment(const std::vector<std::string>& overrides) {
  std::vector<std::string> out;
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    bool replaced = false;
    for (const std::string& o : overrides) replaced = replaced || nameOf(o) == nameOf(entry);
    if (!replaced) out.push_back(entry);
  }
  out.insert(out.end(), overrides.begin(), overrides.end());
  return out;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

CChildProcess::CChildProcess(std::vector<std::string> args, const std::filesystem::path& outputDir,
                             const std::vector<std::string>& env) {
  static std::atomic<int> counter{0};
  const std::string stem = std::filesystem::path(args.at(0)).filename().string() + "." +
                           std::to_string(counter.fetch_add(1));
  m_outPath = outputDir / (stem + ".out");
  m_errPath = outputDir / (stem + ".err");

  std::vector<std::string> environment = Environment(env);
  const std::vector<char*> argv = Pointers(args);
  const std::vector<char*> envp = Pointers(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_outPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
  posix_spawn_file_actions_destroy(&actions);
}

CChildProcess::~CChildProcess() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGKILL);
  ::waitpid(m_pid, nullptr, 0);
}

int CChildProcess::Wait(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (m_pid > 0) {
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      m_exitCode = ExitCode(status);
      m_pid = -1;
    } else if (std::chrono::steady_clock::now() >= end) {
      return -1;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return m_exitCode;
}

void CChildProcess::Signal(int signal) const {
  if (m_pid > 0) ::kill(m_pid, signal);
}

std::string CChildProcess::Output() const { return ReadFileBytes(m_outPath); }
std::string CChildProcess::Errors() const { return ReadFileBytes(m_errPath); }

void CChildProcess::RemoveOutputFiles() const {
  std::error_code ignored;
  std::filesystem::remove(m_outPath, ignored);
  std::filesystem::remove(m_errPath, ignored);
}

SRunResult RunProgram(std::vector<std::string> args, const std::filesystem::path& outputDir,
                      const std::vector<std::string>& env, std::chrono::milliseconds limit) {
  CChildProcess child(std::move(args), outputDir, env);
  SRunResult result;
  result.code = child.Wait(limit);
  result.out = child.Output();
  result.err = child.Errors();
  child.RemoveOutputFiles();
  return result;
}

std::vector<std::pair<std::string, double>> NameValueLines(const std::string& out) {
  std::vector<std::pair<std::string, double>> lines;
  std::istringstream in(out);
  std::string name;
  for (double value = 0; in >> name >> value;) lines.emplace_back(name, value);
  return lines;
}

}  // namespace veldrin_test
