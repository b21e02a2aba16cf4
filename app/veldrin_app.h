#pragma once

#include <string>

// The application object: sets up the product identity and the settings root, installs the
// windowed message box and runs the main dialog modally. The application ends with the dialog.
class CVeldrinApp {
 public:
  CVeldrinApp(int argc, char** argv);

  // Returns the main dialog's result (0 when the framework refused to start).
  int InitInstance();

 private:
  std::string m_strInstanceName;
};
