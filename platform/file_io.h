#pragma once

// The one home of whole-file reading and replacing.

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

enum class EFileRead { kRead, kMissing, kUnreadable };

namespace veldrin {

// Reads a regular file whole into `out`. The open is non-blocking, so a FIFO in the file's place
// cannot hang the caller. Anything but a regular file, a read error or more than `maxSize` bytes
// is kUnreadable, and `out` is then left empty.
[[nodiscard]] EFileRead ReadWholeFile(const std::string& path, std::string& out,
                                      std::size_t maxSize);

// The first `limit` bytes of a regular file (all of it when shorter), or nothing when it cannot
// be read. Opened as ReadWholeFile does.
[[nodiscard]] std::optional<std::string> ReadFilePrefix(const std::string& path, std::size_t limit);

// Whole-file replacement that never leaves a half-written file behind: the bytes go to a hidden
// temporary file beside the target, are flushed to disk, and the temporary is renamed over the
// target (which keeps its permissions). A failure at any step leaves the previous file as it was.
[[nodiscard]] bool WriteFileAtomically(const std::string& path, std::string_view bytes);

// The same guarantee for a file rewritten many times a second whose reader is told when a new one
// is in place: `parts` go to a temporary file of its own (CreateTemporaryFile) beside `path`, which
// is renamed into place without a flush. The old file is unlinked just before the rename: renaming
// over an existing file makes ext4 flush the new one synchronously (auto_da_alloc), which would
// cost milliseconds each time. The moment without a file is never observed by a reader that only
// reads announced files. On failure the temporary is removed and errno tells why.
[[nodiscard]] bool ReplaceFileUnflushed(const std::string& path,
                                        std::initializer_list<std::string_view> parts);

// Creates a new, empty file for writing in `dir` (ending with '/', or empty for the current
// folder) under a short name of its own (".vtmp<pid>.<n>", whatever the target's name), and
// returns its descriptor with the name in `tmpPath`; -1 with errno set on failure. Nothing
// already at a path is followed or reused: an existing name (a file, a FIFO, a symlink planted
// there) is skipped for the next, and a symlink is never followed. The open never blocks.
[[nodiscard]] int CreateTemporaryFile(const std::string& dir, std::string& tmpPath);

}  // namespace veldrin
