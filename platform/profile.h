#pragma once

// Settings files in the classic INI layout, read and written with the semantics of the
// private-profile functions the tool was designed around:
// - section and key names match without regard to (ASCII) case; the first match wins;
// - a missing file, section or key reads as the default; an empty path reads defaults and
//   writes nothing;
// - names and values are trimmed of blanks; a value wrapped in matching quotes loses them;
// - lines starting with ';' are comments; CRLF line ends are accepted;
// - writing replaces only the one key's line (or adds the key, and the section when missing)
//   and keeps every other byte of the file.
// Writes are atomic (temporary file and rename) and serialised between processes with an
// advisory lock on the file's directory, so two instances sharing one file lose no update.

#include <string>

namespace veldrin {

// Integer value of the key: the leading decimal number of its value (blanks and one sign
// allowed before the digits), 0 when the value does not start with one, `def` when the key
// is missing or its value is empty. Out-of-range numbers wrap to 32 bits.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int def,
                         const std::string& path);

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& path);

// False, with the file untouched, for an empty path, a name or value that the file layout
// cannot hold (line breaks, '=' in a key, ']' in a section, empty names), an unreadable
// existing file, or a failed write.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

}  // namespace veldrin
