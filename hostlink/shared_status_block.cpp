#include "hostlink/shared_status_block.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

#include "hostlink/bmp_format.h"
#include "platform/file_io.h"
#include "platform/shared_memory.h"

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

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Unpaired surrogates become U+FFFD so the result is always valid UTF-8.
std::string Utf16ToUtf8(const std::u16string& in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char16_t u = in[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(in[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

// Strict decoding: false for malformed, overlong or surrogate sequences.
bool Utf8ToUtf16(const std::string& in, std::u16string& out) {
  out.clear();
  std::size_t i = 0;
  while (i < in.size()) {
    const unsigned char b = static_cast<unsigned char>(in[i]);
    int extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1;
      c = b & 0x1F;
      min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      c = b & 0x0F;
      min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3;
      c = b & 0x07;
      min = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= in.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char cont = static_cast<unsigned char>(in[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      c = (c << 6) | (cont & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += 1 + extra;
  }
  return true;
}

}  // namespace

CSharedStatusBlock::CSharedStatusBlock(const std::string& name, int bCreate)
    : m_strName(name), m_bCreator(bCreate ? 1 : 0) {
  m_pMapping = std::make_unique<veldrin::CSharedMemory>(name, sizeof(STATUS_BLOCK), m_bCreator);
  if (!m_pMapping->IsMapped()) {
    m_pMapping.reset();
    return;
  }
  m_pStatus = static_cast<STATUS_BLOCK*>(m_pMapping->GetView());

  // Both sides write these at attachment; the host writes its own values again afterwards.
  Store(m_pStatus->nMediaHeightMm, kAttachHeightMm);
  Store(m_pStatus->nMediaWidthMm, kAttachWidthMm);
  if (m_bCreator) {
    Store(m_pStatus->nImageReady, 0);
    std::atomic_ref<char16_t>(m_pStatus->szFolder[0]).store(0);
    Increment(m_pStatus->nHostCount);
    Increment(m_pStatus->nCreateCount);
  } else {
    Increment(m_pStatus->nOpenCount);
  }
}

CSharedStatusBlock::~CSharedStatusBlock() {
  if (m_pStatus == nullptr) return;
  if (m_bCreator) {
    const std::uint32_t creators = DecrementToZero(m_pStatus->nCreateCount);
    DecrementToZero(m_pStatus->nHostCount);
    // The last creator removes the name, as the system drops a mapping nobody created any more;
    // attachments still mapped keep their view and read the host count 0.
    if (creators == 0) veldrin::CSharedMemory::Unlink(m_strName);
  } else {
    DecrementToZero(m_pStatus->nOpenCount);
  }
}

int CSharedStatusBlock::IsOpen() const { return m_pStatus != nullptr ? 1 : 0; }

int CSharedStatusBlock::GetMediaSize(int& height, int& width) const {
  if (m_pStatus == nullptr) {
    height = 0;
    width = 0;
    return 0;
  }
  height = static_cast<int>(Load(m_pStatus->nMediaHeightMm));
  width = static_cast<int>(Load(m_pStatus->nMediaWidthMm));
  return 1;
}

unsigned CSharedStatusBlock::GetHostCount() const {
  return m_pStatus != nullptr ? Load(m_pStatus->nHostCount) : 0;
}

unsigned CSharedStatusBlock::GetOpenCount() const {
  return m_pStatus != nullptr ? Load(m_pStatus->nOpenCount) : 0;
}

unsigned CSharedStatusBlock::GetCreateCount() const {
  return m_pStatus != nullptr ? Load(m_pStatus->nCreateCount) : 0;
}

int CSharedStatusBlock::IsImageReady() const {
  return m_pStatus != nullptr && Load(m_pStatus->nImageReady) != 0 ? 1 : 0;
}

std::u16string CSharedStatusBlock::ReadFolderUnits() const {
  // Bounded by the field: the host may have filled all 260 units without a terminating NUL.
  std::u16string units;
  for (std::size_t i = 0; i < kFolderUnits; ++i) {
    const char16_t u = std::atomic_ref<char16_t>(m_pStatus->szFolder[i]).load();
    if (u == 0) break;
    units += u;
  }
  return units;
}

std::string CSharedStatusBlock::GetFolder() const {
  if (m_pStatus == nullptr) return {};
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
  if (m_pStatus == nullptr) return {};
  return GetFolder() + m_strName + ".bmp";
}

int CSharedStatusBlock::SetFolder(const std::string& utf8Folder) {
  std::u16string units;
  if (m_pStatus == nullptr || !m_bCreator || !Utf8ToUtf16(utf8Folder, units) ||
      units.size() >= kFolderUnits || units.find(u'\0') != std::u16string::npos) {
    return 0;
  }
  // The first unit goes last, so a reader in between sees an empty folder, never a prefix of the
  // new one (a prefix is still a path: the picture would land in the wrong place).
  auto unit = [this](std::size_t i) { return std::atomic_ref<char16_t>(m_pStatus->szFolder[i]); };
  unit(0).store(0);
  for (std::size_t i = 1; i < kFolderUnits; ++i) unit(i).store(i < units.size() ? units[i] : 0);
  unit(0).store(units.empty() ? u'\0' : units[0]);
  return 1;
}

int CSharedStatusBlock::SetMediaSize(int height, int width) {
  if (m_pStatus == nullptr || !m_bCreator || height < 0 || width < 0) return 0;
  Store(m_pStatus->nMediaHeightMm, static_cast<std::uint32_t>(height));
  Store(m_pStatus->nMediaWidthMm, static_cast<std::uint32_t>(width));
  return 1;
}

int CSharedStatusBlock::AcknowledgeImage() {
  if (m_pStatus == nullptr || !m_bCreator) return 0;
  Store(m_pStatus->nImageReady, 0);
  return 1;
}

int CSharedStatusBlock::PublishImage(int width, int height, const unsigned char* pixels) {
  // Only the host clears the flag: while a picture waits, nothing is written.
  if (m_pStatus == nullptr || Load(m_pStatus->nImageReady) != 0) return 0;
  if (width <= 0 || height <= 0 || pixels == nullptr) return 0;

  const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * 3;
  const std::uint64_t stride = veldrin::BmpStride(width);
  const std::uint64_t dataSize = stride * static_cast<std::uint64_t>(height);
  if (dataSize + veldrin::kBmpHeaderBytes > UINT32_MAX)
    return 0;  // the header cannot state the size

  // Rows are stored top row first with a positive height: the host expects exactly that.
  const unsigned char* data = pixels;
  std::vector<unsigned char> padded;
  if (stride != rowBytes) {
    padded.assign(dataSize, 0);
    for (int y = 0; y < height; ++y) {
      std::memcpy(padded.data() + y * stride, pixels + y * rowBytes, rowBytes);
    }
    data = padded.data();
  }

  const auto header = veldrin::MakeBmpHeader(width, height);
  const std::string_view headerBytes(reinterpret_cast<const char*>(header.data()), header.size());
  const std::string_view pixelBytes(reinterpret_cast<const char*>(data), dataSize);
  if (!veldrin::ReplaceFileUnflushed(GetImagePath(), {headerBytes, pixelBytes})) return 0;
  Store(m_pStatus->nImageReady, 1);
  return 1;
}
