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
// - a file starting with a UTF-16 byte-order mark (as Windows editors save "Unicode" text) is
//   UTF-16 text and is written back as such; names and values are UTF-8 here;
// - the section name given is mapped with ProfileSectionName, the same way on reading and
//   writing, so any instance name can name a section.
// Writes are atomic (temporary file and rename) and serialised between processes with an
// advisory lock on the file's directory, so two instances sharing one file lose no update. The
// lock is waited for kProfileLockWait, and once more after that; a write that gets no lock fails.

#include <chrono>
#include <string>

namespace veldrin {

constexpr std::chrono::milliseconds kProfileLockWait{1000};

// The section that holds `name`'s settings. A name that a section line can hold stays as it is;
// one holding ']', '=', a line break or a NUL, or starting with '%', becomes '%' followed by the
// name with each of those characters and every '%' written as '%' and two upper-case hex digits
// ("a]b" is "%a%5Db"). Mapped names start with '%' and plain ones never do, so no two names share
// a section.
std::string ProfileSectionName(const std::string& name);

// Integer value of the key: the leading decimal number of its value (blanks and one sign
// allowed before the digits), 0 when the value does not start with one, `def` when the key
// is missing or its value is empty. Out-of-range numbers wrap to 32 bits.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int def,
                         const std::string& path);

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& path);

// False, with the file untouched, for an empty path, a key or value that the file layout
// cannot hold (line breaks, '=' in a key, empty names), an unreadable existing file (or a
// UTF-16 one that would not be written back byte for byte), a lock that stayed held, or a failed
// write.
[[nodiscard]] bool WritePrivateProfileString(const std::string& section, const std::string& key,
                                             const std::string& value, const std::string& path);

}  // namespace veldrin
