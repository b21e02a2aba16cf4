#include "platform/message_box.h"

#include <cstdio>
#include <mutex>

#include "resources/string_table.h"

namespace veldrin {

namespace {

// These live until the process ends (never destroyed) so that a thread still showing a box
// while static destructors run does not reach a dead object.

// Guards the current service pointer; Show is always called outside the lock.
std::mutex& ServiceMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::shared_ptr<CMessageBoxService>& CurrentService() {
  static auto* service = new std::shared_ptr<CMessageBoxService>;
  return *service;
}

const std::shared_ptr<CMessageBoxService>& ConsoleService() {
  static auto* console =
      new std::shared_ptr<CMessageBoxService>(std::make_shared<CConsoleMessageBox>());
  return *console;
}

}  // namespace

int DefaultAnswer(unsigned type) { return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK; }

}  // namespace veldrin

int CConsoleMessageBox::Show(const std::string& text, unsigned type) {
  const int answer = veldrin::DefaultAnswer(type);
  // One write per box so that lines from several threads do not interleave.
  std::string line = text;
  if ((type & MB_TYPEMASK) == MB_YESNO) line += answer == IDYES ? " [yes]" : " [no]";
  line += '\n';
  std::fputs(line.c_str(), stderr);
  return answer;
}

namespace veldrin {

std::shared_ptr<CMessageBoxService> SetMessageBoxService(
    std::shared_ptr<CMessageBoxService> service) {
  std::lock_guard lock(ServiceMutex());
  std::shared_ptr<CMessageBoxService> previous = std::move(CurrentService());
  CurrentService() = std::move(service);
  return previous;
}

std::shared_ptr<CMessageBoxService> GetMessageBoxService() {
  {
    std::lock_guard lock(ServiceMutex());
    if (CurrentService()) return CurrentService();
  }
  return ConsoleService();
}

void CloseOpenMessageBoxes() { GetMessageBoxService()->CloseAll(); }

}  // namespace veldrin

int AfxMessageBox(const std::string& text, unsigned type) {
  return veldrin::GetMessageBoxService()->Show(text, type);
}

int AfxFormatMessageBox(const char* /*caption*/, unsigned type, int stringId) {
  const std::string& text = veldrin::LoadStringResource(stringId);
  if (text.empty()) return 0;
  return AfxMessageBox(text, type);
}
