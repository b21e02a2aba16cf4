#pragma once

#include <string>

namespace veldrin {

// Environment variable naming the OEM file; when unset, "oem.ini" beside the executable is used.
inline constexpr const char* kOemFileVariable = "VELDRIN_OEM_FILE";

// Path of the OEM file consulted by GetStringOEM (it need not exist).
std::string OemFilePath();

// A product string an OEM build may override: the value of `key` in `section` of the OEM file
// (INI layout, names matched without regard to case), or `def` unchanged when the file, the
// key or a non-empty value is missing. An empty override would leave the product nameless, so
// it counts as none.
std::string GetStringOEM(const std::string& section, const std::string& key,
                         const std::string& def);

// Root under which the application's own settings live: organisation `company`, application
// `application` (QSettings turns the '/' in "RIP 10/<name>" into a sub-folder).
void SetRegistryKeyEx(const std::string& company, const std::string& application);

// The start-up identity: product name from GetStringOEM("App", "Name", "Veldrin 10"), settings
// root "Verrant" / "RIP 10/<name>", and the name as the message-box caption. The application's
// display name stays unset, so window titles carry nothing but their own text.
// Returns the product name. Call on the UI thread after the QApplication exists.
std::string InitSettingsRoot();

}  // namespace veldrin
