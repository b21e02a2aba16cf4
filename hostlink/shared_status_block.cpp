#include "hostlink/shared_status_block.h"

#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

#include "hostlink/bmp_format.h"
#include "platform/file_io.h"
#include "platform/shared_memory.h"
#include "platform/text_encoding.h"

using veldrin::Utf16ToUtf8;
using veldrin::Utf8ToUtf16;

static_assert(std::endian::native == std::endian::little, "the block is little-endian");
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free &&
                  std::atomic_ref<char16_t>::is_always_lock_free,
              "the block is shared with another process, so its words need lock-free atomics");

namespace {

std::uint32_t Load(std::uint32_t& word) { return std::atomic_ref<std::uint32_t>(word).load(); }
void Store(std::uint32_t& word, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(word).store(value);
}
void Increment(std::uint32_t& word) { std::atomic_ref<std::uint32_t>(word).fetch_add(1); }

// Stops at 0: a counter that was already 0 (reset by someone else) must not wrap to a huge value,
// or the tool would never see the host leave.
std::uint32_t DecrementToZero(std::uint32_t& word) {
  std::atomic_ref<std::uint32_t> ref(word);
  std::uint32_t value = ref.load();
  while (value != 0 && !ref.compare_exchange_weak(value, value - 1)) {
  }
  return value == 0 ? 0 : value - 1;
}

bool IsOutOfSpace(int error) { return error == ENOSPC || error == EDQUOT; }

}  // namespace

CSharedStatusBlock::CSharedStatusBlock(const std::string& name, int bCreate)
    : m_strName(name), m_bCreator(bCreate ? 1 : 0) {
  m_mapping = std::make_unique<CSharedMemory>(name, sizeof(STATUS_BLOCK), m_bCreator);
  if (!m_mapping->IsMapped()) {
    m_mapping.reset();
    return;
  }
  m_status = static_cast<STATUS_BLOCK*>(m_mapping->GetView());

  // One tool per instance: two would write the same picture. The claim is a lock on the open
  // count that the system drops when its owner dies, however it dies; of two tools starting
  // together exactly one gets it, and the other leaves the block untouched. A count found set
  // under a free lock was left by a tool that died: the newcomer takes its place.
  if (!m_bCreator) {
    if (!m_mapping->TryLockRange(offsetof(STATUS_BLOCK, nOpenCount), sizeof(std::uint32_t))) {
      m_status = nullptr;
      m_mapping.reset();
      m_servedElsewhere = 1;
      return;
    }
    Store(m_status->nOpenCount, 1);
    // A host that holds its lock on the block is watched through it: the lock going free means
    // the host is gone, even one killed before it could release its count.
    m_hostLockSeen.store(m_mapping->IsWholeObjectLockHeld());
  }

  // Both sides write these at attachment; the host writes its own values again afterwards.
  Store(m_status->nMediaHeightMm, kAttachHeightMm);
  Store(m_status->nMediaWidthMm, kAttachWidthMm);
  if (m_bCreator) {
    Store(m_status->nImageReady, 0);
    std::atomic_ref<char16_t>(m_status->szFolder[0]).store(0);
    Increment(m_status->nHostCount);
    Increment(m_status->nCreateCount);
  }
}

CSharedStatusBlock::~CSharedStatusBlock() {
  if (m_status == nullptr) return;
  if (m_bCreator) {
    const std::uint32_t creators = DecrementToZero(m_status->nCreateCount);
    DecrementToZero(m_status->nHostCount);
    // The last creator removes the name, as the system drops a mapping nobody created any more;
    // attachments still mapped keep their view and read the host count 0. A block that shrank
    // under us may already be someone else's under the same name: left alone.
    if (creators == 0 && !m_mapping->IsLost()) CSharedMemory::Unlink(m_strName);
  } else {
    DecrementToZero(m_status->nOpenCount);
  }
}

int CSharedStatusBlock::IsOpen() const { return m_status != nullptr ? 1 : 0; }

int CSharedStatusBlock::GetMediaSize(int& height, int& width) const {
  if (m_status == nullptr) {
    height = 0;
    width = 0;
    return 0;
  }
  height = static_cast<int>(Load(m_status->nMediaHeightMm));
  width = static_cast<int>(Load(m_status->nMediaWidthMm));
  return 1;
}

unsigned CSharedStatusBlock::GetHostCount() const {
  if (m_status == nullptr) return 0;
  // A block cut short can no longer carry the host's data: the host counts as gone.
  if (!m_mapping->IsIntact()) return 0;
  if (!m_bCreator) {
    if (m_mapping->IsWholeObjectLockHeld()) {
      m_hostLockSeen.store(true);
    } else if (m_hostLockSeen.load()) {
      return 0;  // the host's process is gone, whatever its count says
    }
  }
  return Load(m_status->nHostCount);
}

unsigned CSharedStatusBlock::GetOpenCount() const {
  return m_status != nullptr ? Load(m_status->nOpenCount) : 0;
}

unsigned CSharedStatusBlock::GetCreateCount() const {
  return m_status != nullptr ? Load(m_status->nCreateCount) : 0;
}

int CSharedStatusBlock::IsImageReady() const {
  return m_status != nullptr && Load(m_status->nImageReady) != 0 ? 1 : 0;
}

std::u16string CSharedStatusBlock::ReadFolderUnits() const {
  // Bounded by the field: the host may have filled all 260 units without a terminating NUL.
  std::u16string units;
  for (std::size_t i = 0; i < kFolderUnits; ++i) {
    const char16_t u = std::atomic_ref<char16_t>(m_status->szFolder[i]).load();
    if (u == 0) break;
    units += u;
  }
  return units;
}

std::string CSharedStatusBlock::GetFolder() const {
  if (m_status == nullptr) return {};
  // Two equal reads in a row: a read that overlapped a change by the host is taken again.
  std::u16string units = ReadFolderUnits();
  for (int tries = 0; tries < 100; ++tries) {
    std::u16string again = ReadFolderUnits();
    if (again == units) break;
    units.swap(again);
  }
  return Utf16ToUtf8(units);
}

std::string CSharedStatusBlock::GetImagePath() const {
  if (m_status == nullptr) return {};
  const std::string folder = GetFolder();
  return folder.empty() ? std::string() : folder + m_strName + ".bmp";
}

int CSharedStatusBlock::SetFolder(const std::string& utf8Folder) {
  std::u16string units;
  if (m_status == nullptr || !m_bCreator || !Utf8ToUtf16(utf8Folder, units) ||
      units.size() >= kFolderUnits || units.find(u'\0') != std::u16string::npos) {
    return 0;
  }
  // The first unit goes last, so a reader in between sees an empty folder, never a prefix of the
  // new one (a prefix is still a path: the picture would land in the wrong place).
  auto unit = [this](std::size_t i) { return std::atomic_ref<char16_t>(m_status->szFolder[i]); };
  unit(0).store(0);
  for (std::size_t i = 1; i < kFolderUnits; ++i) unit(i).store(i < units.size() ? units[i] : 0);
  unit(0).store(units.empty() ? u'\0' : units[0]);
  return 1;
}

int CSharedStatusBlock::SetMediaSize(int height, int width) {
  if (m_status == nullptr || !m_bCreator || height < 0 || width < 0) return 0;
  Store(m_status->nMediaHeightMm, static_cast<std::uint32_t>(height));
  Store(m_status->nMediaWidthMm, static_cast<std::uint32_t>(width));
  return 1;
}

int CSharedStatusBlock::AcknowledgeImage() {
  if (m_status == nullptr || !m_bCreator) return 0;
  Store(m_status->nImageReady, 0);
  return 1;
}

bool CSharedStatusBlock::IsValidInstanceName(const std::string& name) {
  // The picture "<name>.bmp" must be one file name; the temporary name is short whatever it is.
  return CSharedMemory::IsValidName(name) && name.size() + 4 <= NAME_MAX;
}

int CSharedStatusBlock::PublishImage(int width, int height, const unsigned char* pixels) {
  // Only the host clears the flag: while a picture waits, nothing is written.
  if (m_status == nullptr || Load(m_status->nImageReady) != 0) return 0;
  if (!m_mapping->IsIntact()) return 0;  // the host's folder and handshake are gone with it
  if (width <= 0 || height <= 0 || pixels == nullptr) return 0;
  // An empty folder (none yet, or the host rewriting it) would put the picture in the working
  // directory.
  const std::string folder = GetFolder();
  if (folder.empty()) {
    m_lastPublishError = ENOENT;
    return 0;
  }

  const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * 3;
  const std::uint64_t stride = veldrin::BmpStride(width);
  const std::uint64_t dataSize = stride * static_cast<std::uint64_t>(height);
  if (dataSize + veldrin::kBmpHeaderBytes > UINT32_MAX)
    return 0;  // the header cannot state the size

  // Rows are stored top row first with a positive height: the host expects exactly that.
  const unsigned char* data = pixels;
  if (stride != rowBytes) {
    // Kept from picture to picture: the per-frame path allocates nothing once it has grown.
    m_padded.resize(dataSize);
    for (int y = 0; y < height; ++y) {
      unsigned char* row = m_padded.data() + y * stride;
      std::memcpy(row, pixels + y * rowBytes, rowBytes);
      std::memset(row + rowBytes, 0, stride - rowBytes);
    }
    data = m_padded.data();
  }

  const auto header = veldrin::MakeBmpHeader(width, height);
  const std::string_view headerBytes(reinterpret_cast<const char*>(header.data()), header.size());
  const std::string_view pixelBytes(reinterpret_cast<const char*>(data), dataSize);
  const std::string path = folder + m_strName + ".bmp";
  int error = 0;
  if (!veldrin::ReplaceFileUnflushed(path, {headerBytes, pixelBytes})) {
    error = errno;
    if (IsOutOfSpace(error)) {
      // The host has taken the old picture (the flag is 0): its space is worth more than it is.
      unlink(path.c_str());
      error = veldrin::ReplaceFileUnflushed(path, {headerBytes, pixelBytes}) ? 0 : errno;
    }
  }
  m_lastPublishError = error;
  if (error != 0) return 0;
  Store(m_status->nImageReady, 1);
  return 1;
}
