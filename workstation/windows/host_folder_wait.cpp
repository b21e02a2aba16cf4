#include "workstation/windows/host_folder_wait.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace veldrin {

namespace {
// How often the wait looks for the folder.
constexpr int kFolderPollMs = 100;
}  // namespace

void WaitForHostFolder(const std::function<std::string()>& folder,
                       const std::function<bool()>& ended) {
  if (ended() || !folder().empty()) return;
  std::fprintf(stderr, "veldrin: waiting for the host to name its folder\n");
  QEventLoop wait;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &wait, [&] {
    if (ended() || !folder().empty()) wait.quit();
  });
  poll.start(kFolderPollMs);
  wait.exec();
}

}  // namespace veldrin
