#include "platform/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/text_encoding.h"

namespace veldrin {
namespace {

// Anything larger is not a settings file; treating it as unreadable keeps memory bounded.
constexpr size_t kMaxFileSize = 16u << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Windows editors save settings files as UTF-16 with a byte-order mark; such a file is read as
// text and written back in the encoding it had.
enum class EEncoding { kUtf8, kUtf16Le, kUtf16Be };

struct SEncoding {
  EEncoding kind = EEncoding::kUtf8;
  bool bom = false;  // UTF-16 only: a UTF-8 mark stays part of the text
};

SEncoding DetectEncoding(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
    return {EEncoding::kUtf16Le, true};
  if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF')
    return {EEncoding::kUtf16Be, true};
  return {};
}

// The file's text as UTF-8. False when it does not convert back to the same bytes (odd length,
// unpaired surrogates): it is still read, but never rewritten.
bool DecodeText(std::string& bytes, const SEncoding& enc) {
  if (enc.kind == EEncoding::kUtf8) return true;
  const size_t start = enc.bom ? 2 : 0;
  std::u16string units;
  units.reserve((bytes.size() - start) / 2);
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    const auto lo =
        static_cast<unsigned char>(bytes[i + (enc.kind == EEncoding::kUtf16Le ? 0 : 1)]);
    const auto hi =
        static_cast<unsigned char>(bytes[i + (enc.kind == EEncoding::kUtf16Le ? 1 : 0)]);
    units += static_cast<char16_t>(lo | (hi << 8));
  }
  const bool oddLength = (bytes.size() - start) % 2 != 0;
  bytes = Utf16ToUtf8(units);
  std::u16string again;
  return !oddLength && Utf8ToUtf16(bytes, again) && again == units;
}

std::string EncodeText(const std::string& text, const SEncoding& enc) {
  if (enc.kind == EEncoding::kUtf8) return text;
  std::u16string units;
  // The text came from DecodeText or was checked by the caller, so it converts.
  (void)Utf8ToUtf16(text, units);
  std::string out;
  out.reserve(2 * units.size() + 2);
  const bool le = enc.kind == EEncoding::kUtf16Le;
  if (enc.bom) out += le ? "\xFF\xFE" : "\xFE\xFF";
  for (const char16_t u : units) {
    const char lo = static_cast<char>(u & 0xFF);
    const char hi = static_cast<char>(u >> 8);
    out += le ? lo : hi;
    out += le ? hi : lo;
  }
  return out;
}

enum class ELineKind { kOther, kSection, kEntry };

struct SLine {
  ELineKind kind = ELineKind::kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // entry value, trimmed and unquoted
};

SLine Classify(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  const std::string_view s = Trim(raw);
  SLine line;
  if (s.empty() || s.front() == ';') return line;
  if (s.front() == '[') {
    const size_t close = s.find(']');
    if (close != std::string_view::npos) {
      line.kind = ELineKind::kSection;
      line.name = Trim(s.substr(1, close - 1));
    }
    return line;
  }
  line.kind = ELineKind::kEntry;
  const size_t eq = s.find('=');
  if (eq == std::string_view::npos) {
    line.name = s;  // a bare name is a key with an empty value
    return line;
  }
  line.name = Trim(s.substr(0, eq));
  std::string_view v = Trim(s.substr(eq + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  line.value = v;
  return line;
}

// Lines of the file without their '\n'; a trailing '\r' stays part of the line.
struct SDocument {
  std::vector<std::string_view> lines;
  bool endsWithNewline = false;
};

SDocument Split(std::string_view text) {
  SDocument doc;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      doc.lines.push_back(text.substr(pos));
      return doc;
    }
    doc.lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  doc.endsWithNewline = !text.empty();
  return doc;
}

std::string_view WithoutBom(std::string_view line) {
  if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  return line;
}

SLine ClassifyAt(const SDocument& doc, size_t i) {
  return Classify(i == 0 ? WithoutBom(doc.lines[i]) : doc.lines[i]);
}

// Index of the first line holding `key` inside a section named `section`.
std::optional<size_t> FindEntry(const SDocument& doc, std::string_view section,
                                std::string_view key) {
  bool inSection = false;
  for (size_t i = 0; i < doc.lines.size(); ++i) {
    const SLine line = ClassifyAt(doc, i);
    if (line.kind == ELineKind::kSection) {
      inSection = EqualNoCase(line.name, section);
    } else if (inSection && line.kind == ELineKind::kEntry && EqualNoCase(line.name, key)) {
      return i;
    }
  }
  return std::nullopt;
}

std::optional<std::string> LookUp(const std::string& section, const std::string& key,
                                  const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::string text;
  if (ReadWholeFile(path, text, kMaxFileSize) != EFileRead::kRead) return std::nullopt;
  DecodeText(text, DetectEncoding(text));
  const SDocument doc = Split(text);
  const std::string sectionName = ProfileSectionName(section);
  const auto index = FindEntry(doc, Trim(sectionName), Trim(key));
  if (!index) return std::nullopt;
  return std::string(ClassifyAt(doc, *index).value);
}

bool Holds(std::string_view s, std::string_view chars) {
  return s.find_first_of(chars) != std::string_view::npos;
}

// Holds an exclusive advisory lock on a directory for the lifetime of the object. The wait for it
// is bounded: a process that holds the lock and never lets go (stopped, or hostile) must not keep
// the tool from ending.
class CDirectoryLock {
 public:
  CDirectoryLock(const std::string& path, std::chrono::milliseconds limit) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    m_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) return;  // nothing to lock with: the write goes ahead as the rename allows
    const auto end = std::chrono::steady_clock::now() + limit;
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return;
      if (std::chrono::steady_clock::now() >= end) {
        m_timedOut = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~CDirectoryLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing releases the lock
  }
  CDirectoryLock(const CDirectoryLock&) = delete;
  CDirectoryLock& operator=(const CDirectoryLock&) = delete;

  bool IsTimedOut() const { return m_timedOut; }

 private:
  int m_fd = -1;
  bool m_timedOut = false;
};

}  // namespace

std::string ProfileSectionName(const std::string& name) {
  static constexpr std::string_view kUnsafe("]=\r\n\0", 5);
  if (!Holds(name, kUnsafe) && !name.starts_with('%')) return name;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string mapped = "%";
  for (const char c : name) {
    if (c == '%' || kUnsafe.find(c) != std::string_view::npos) {
      const auto b = static_cast<unsigned char>(c);
      mapped += '%';
      mapped += kHex[b >> 4];
      mapped += kHex[b & 0xF];
    } else {
      mapped += c;
    }
  }
  return mapped;
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int def,
                         const std::string& path) {
  const auto value = LookUp(section, key, path);
  if (!value || value->empty()) return def;
  std::string_view s = Trim(*value);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  // Unsigned arithmetic wraps like the platform's own conversion, without undefined overflow.
  uint32_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    n = n * 10u + static_cast<uint32_t>(c - '0');
  }
  if (negative) n = 0u - n;
  return static_cast<int>(n);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& path) {
  auto value = LookUp(section, key, path);
  if (value) return std::move(*value);
  return def;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path) {
  const std::string mappedSection = ProfileSectionName(section);
  const std::string_view sectionName = Trim(mappedSection);
  const std::string_view keyName = Trim(key);
  // Anything that would not read back as the same section, key and value is refused rather
  // than written in a form that corrupts neighbouring lines.
  if (path.empty() || sectionName.empty() || keyName.empty()) return false;
  if (Holds(key, std::string_view("\r\n\0=", 4)) || Holds(value, std::string_view("\r\n\0", 3)) ||
      keyName.front() == '[' || keyName.front() == ';') {
    return false;
  }

  // Tried once more after a time-out: the holder may have been between two quick writes of its
  // own.
  std::optional<CDirectoryLock> lock;
  for (int attempt = 0; attempt < 2 && !(lock && !lock->IsTimedOut()); ++attempt) {
    lock.emplace(path, kProfileLockWait);
  }
  if (lock->IsTimedOut()) return false;
  std::string text;
  const EFileRead state = ReadWholeFile(path, text, kMaxFileSize);
  if (state == EFileRead::kUnreadable) return false;  // never replace what we cannot read
  const SEncoding encoding = DetectEncoding(text);
  if (!DecodeText(text, encoding)) return false;
  std::u16string unitsCheck;
  if (encoding.kind != EEncoding::kUtf8 &&
      !(Utf8ToUtf16(std::string(keyName), unitsCheck) && Utf8ToUtf16(value, unitsCheck) &&
        Utf8ToUtf16(mappedSection, unitsCheck))) {
    return false;  // not text that UTF-16 can hold
  }

  SDocument doc = Split(text);
  const bool crlf = !doc.lines.empty() && !doc.lines[0].empty() && doc.lines[0].back() == '\r';
  std::vector<std::string> out(doc.lines.begin(), doc.lines.end());
  bool endsWithNewline = doc.endsWithNewline;
  std::string entry(keyName);
  entry.append(1, '=').append(value);

  if (const auto index = FindEntry(doc, sectionName, keyName)) {
    // The stored spelling of the key stays; only its value changes.
    const bool hadCr = !out[*index].empty() && out[*index].back() == '\r';
    std::string line(ClassifyAt(doc, *index).name);
    line.append(1, '=').append(value);
    if (hadCr) line += '\r';
    out[*index] = std::move(line);
  } else {
    // After the last entry of the first matching section, or right after its header.
    std::optional<size_t> insertAfter;
    bool inSection = false;
    for (size_t i = 0; i < doc.lines.size(); ++i) {
      const SLine line = ClassifyAt(doc, i);
      if (line.kind == ELineKind::kSection) {
        if (insertAfter) break;
        inSection = EqualNoCase(line.name, sectionName);
        if (inSection) insertAfter = i;
      } else if (inSection && line.kind == ELineKind::kEntry) {
        insertAfter = i;
      }
    }
    const std::string cr = crlf ? "\r" : "";
    // A last line without its line end gets one in the file's style before lines follow it.
    const bool atEnd = !insertAfter || *insertAfter + 1 == out.size();
    if (atEnd && !endsWithNewline && !out.empty() && crlf && !out.back().ends_with('\r')) {
      out.back() += '\r';
    }
    if (insertAfter) {
      if (atEnd) endsWithNewline = true;
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(*insertAfter) + 1, entry + cr);
    } else {
      if (!out.empty() && !Trim(out.back()).empty() && Trim(out.back()) != "\r") {
        out.push_back(cr);  // a blank line between sections, as the platform writes them
      }
      std::string header(1, '[');
      header.append(sectionName).append(1, ']').append(cr);
      out.push_back(std::move(header));
      out.push_back(entry + cr);
      endsWithNewline = true;
    }
  }

  std::string result;
  result.reserve(text.size() + entry.size() + section.size() + 8);
  for (size_t i = 0; i < out.size(); ++i) {
    result += out[i];
    if (i + 1 < out.size() || endsWithNewline) result += '\n';
  }
  return WriteFileAtomically(path, EncodeText(result, encoding));
}

}  // namespace veldrin
