#include "app/shutdown_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

namespace {

// The pipe the handlers write to; written from signal handlers, so plain ints.
int g_pipe[2] = {-1, -1};

// The parent's death is delivered as SIGHUP: no terminal hangs up on a tool the host started.
constexpr int kParentGoneSignal = SIGHUP;

void OnSignal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

CShutdownSignals::CShutdownSignals(std::function<void()> onStop, std::function<void()> onParentGone)
    : m_onStop(std::move(onStop)), m_onParentGone(std::move(onParentGone)) {
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, [this] { OnReadable(); });

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, kParentGoneSignal}) ::sigaction(signal, &sa, nullptr);

  // Process 1 as the parent means the starter was gone already (or is the system itself).
  const pid_t parent = ::getppid();
  if (parent != 1) {
    ::prctl(PR_SET_PDEATHSIG, kParentGoneSignal);
    // The parent may have ended before the request above: then no signal will come.
    if (::getppid() != parent) OnSignal(kParentGoneSignal);
  }
}

CShutdownSignals::~CShutdownSignals() {
  ::prctl(PR_SET_PDEATHSIG, 0);
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (const int signal : {SIGTERM, SIGINT, kParentGoneSignal}) ::sigaction(signal, &sa, nullptr);
  delete m_notifier;
  m_notifier = nullptr;
  for (int& fd : g_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void CShutdownSignals::OnReadable() {
  char bytes[16];
  ssize_t n = 0;
  bool stop = false;
  bool parentGone = false;
  while ((n = ::read(g_pipe[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (bytes[i] == kParentGoneSignal) {
        parentGone = true;
      } else {
        stop = true;
      }
    }
  }
  if (parentGone && m_onParentGone) {
    m_onParentGone();
  } else if (stop && m_onStop) {
    m_onStop();
  }
}

namespace veldrin {

void ArmExitWatchdog(int seconds, int status) {
  std::thread([seconds, status] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::_Exit(status);
  }).detach();
}

}  // namespace veldrin
