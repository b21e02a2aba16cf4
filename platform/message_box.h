#pragma once

#include <memory>
#include <string>
#include <utility>

// Message-box types (button set | icon) and the answers, with their classic numeric values so
// that code and saved expectations keep the same numbers.
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_ICONERROR = 0x10;
// The second button (No of Yes/No) is the default: Enter does not confirm a destructive step.
inline constexpr unsigned MB_DEFBUTTON2 = 0x100;
inline constexpr unsigned MB_TYPEMASK = 0xF;  // the button-set bits of a type
inline constexpr unsigned MB_ICONMASK = 0xF0;

inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Shows a modal message to the operator and returns the button pressed.
// Implementations must be callable from any thread and must answer (rather than hang) when
// nobody can ever close the box, e.g. while the application is shutting down.
class CMessageBoxService {
 public:
  virtual ~CMessageBoxService() = default;
  virtual int Show(const std::string& text, unsigned type) = 0;
  // Closes every box that is open, each answering as DefaultAnswer (the operator is not there
  // to answer: the host has gone). Called on the UI thread.
  virtual void CloseAll() {}
};

// Writes the text to stderr and answers DefaultAnswer: headless tools and tests never block.
class CConsoleMessageBox : public CMessageBoxService {
 public:
  int Show(const std::string& text, unsigned type) override;
};

namespace veldrin {

// The answer given when the operator cannot be asked: OK, or No for a yes/no question, so
// that nothing destructive is confirmed by default.
int DefaultAnswer(unsigned type);

// The process-wide service. Reading is safe from any thread; a caller holds its own reference
// for the duration of Show, so replacing the service never pulls it from under an open box.
// Passing null restores the console service. Returns the previous service.
std::shared_ptr<CMessageBoxService> SetMessageBoxService(
    std::shared_ptr<CMessageBoxService> service);
std::shared_ptr<CMessageBoxService> GetMessageBoxService();

// CloseAll of the current service.
void CloseOpenMessageBoxes();

}  // namespace veldrin

// Installs a service for the life of a scope (tests, tools) and puts the previous one back.
class CScopedMessageBoxService {
 public:
  explicit CScopedMessageBoxService(std::shared_ptr<CMessageBoxService> service)
      : m_previous(veldrin::SetMessageBoxService(std::move(service))) {}
  ~CScopedMessageBoxService() { veldrin::SetMessageBoxService(std::move(m_previous)); }
  CScopedMessageBoxService(const CScopedMessageBoxService&) = delete;
  CScopedMessageBoxService& operator=(const CScopedMessageBoxService&) = delete;

 private:
  std::shared_ptr<CMessageBoxService> m_previous;
};

// Shows a plain text through the current service.
int AfxMessageBox(const std::string& text, unsigned type = MB_OK);

// Shows the string-table text of stringId through the current service. The caption is always
// null in this application (the service's own caption is used) and is not otherwise honoured.
// An id missing from the table shows nothing and returns 0, which no caller mistakes for a yes.
int AfxFormatMessageBox(const char* caption, unsigned type, int stringId);
