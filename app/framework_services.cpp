#include "app/framework_services.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QString>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/qt_message_box.h"
#include "platform/profile.h"

namespace veldrin {

std::string OemFilePath() {
  if (const char* path = std::getenv(kOemFileVariable); path != nullptr && *path != '\0') {
    return path;
  }
  // Beside the executable, so an OEM ships one file with the program and needs no set-up.
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return {};
  }
  return (exe.parent_path() / "oem.ini").string();
}

std::string GetStringOEM(const std::string& section, const std::string& key,
                         const std::string& def) {
  const std::string value = GetPrivateProfileString(section, key, "", OemFilePath());
  return value.empty() ? def : value;
}

void SetRegistryKeyEx(const std::string& company, const std::string& application) {
  QCoreApplication::setOrganizationName(QString::fromStdString(company));
  QCoreApplication::setApplicationName(QString::fromStdString(application));
}

std::string InitSettingsRoot() {
  std::string name = GetStringOEM("App", "Name", "Veldrin 10");
  SetRegistryKeyEx("Verrant", "RIP 10/" + name);
  // Not the display name: the window system would append it to every window title, and the
  // main window's title must be exactly the instance name (tools find the window by it).
  SetMessageBoxCaption(name);
  return name;
}

}  // namespace veldrin
