#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CSharedMemory;

// The block the host shares under the instance name. Integers are 32-bit little-endian; the
// folder is UTF-16. The layout is fixed by the host and checked below.
struct STATUS_BLOCK {
  std::uint32_t nImageReady;     // 1: a picture file waits for the host; 0: the tool may write
  std::uint32_t nMediaHeightMm;  // height first, width second: the host's order
  std::uint32_t nMediaWidthMm;
  char16_t szFolder[260];      // NUL-terminated unless the host filled all 260 units
  std::uint32_t nOpenCount;    // live attachments that opened the block (the tool's)
  std::uint32_t nCreateCount;  // live attachments that created it (the host's)
  std::uint32_t nHostCount;    // the tool ends when this reads 0
};

static_assert(sizeof(STATUS_BLOCK) == 544);
static_assert(offsetof(STATUS_BLOCK, nImageReady) == 0);
static_assert(offsetof(STATUS_BLOCK, nMediaHeightMm) == 4);
static_assert(offsetof(STATUS_BLOCK, nMediaWidthMm) == 8);
static_assert(offsetof(STATUS_BLOCK, szFolder) == 12);
static_assert(offsetof(STATUS_BLOCK, nOpenCount) == 532);
static_assert(offsetof(STATUS_BLOCK, nCreateCount) == 536);
static_assert(offsetof(STATUS_BLOCK, nHostCount) == 540);

// One attachment to the host's status block. The tool opens it (bCreate 0); the host, the
// simulator and tests create it (bCreate non-zero). A block that cannot be opened leaves the
// attachment absent and every accessor answers 0 or empty. One tool serves an instance: the
// opener claims the open count with a byte-range lock it holds for its life (the system drops it
// when the tool dies); an opener that finds the lock held leaves the block untouched and is
// absent, one that finds a count left set under a free lock takes over.
//
// The host counts as gone (GetHostCount 0) when its count reads 0, when the block no longer has
// its full size (a block shrunk under the mapping reads zeros instead of faulting), or when the
// host's whole-block lock, seen held before, is free: its process has ended.
//
// Two processes share the block without a lock; each field has one writer per direction. Every
// access to a shared word goes through std::atomic_ref, so counters change by atomic
// read-modify-write and reads never tear. Within one process the class may be used from several
// threads as long as PublishImage is called from one thread at a time.
class CSharedStatusBlock {
 public:
  static constexpr std::size_t kFolderUnits = 260;
  static constexpr int kAttachHeightMm = 640;
  static constexpr int kAttachWidthMm = 480;

  CSharedStatusBlock(const std::string& name, int bCreate);
  ~CSharedStatusBlock();

  CSharedStatusBlock(const CSharedStatusBlock&) = delete;
  CSharedStatusBlock& operator=(const CSharedStatusBlock&) = delete;

  // Tool side.
  int IsOpen() const;
  [[nodiscard]] int GetMediaSize(int& height, int& width) const;
  unsigned GetHostCount() const;
  std::string GetFolder() const;  // UTF-8; empty when absent
  // BGR pixels, width * 3 bytes per row, rows contiguous, top row first. Returns 1 when the
  // picture was written and announced, 0 when nothing was announced. Nothing is written while
  // the folder reads empty. A write that fails for lack of space removes the old picture (the
  // host has taken it) and is tried once more.
  [[nodiscard]] int PublishImage(int width, int height, const unsigned char* pixels);
  // The errno of the last PublishImage that tried to write: 0 after a success, ENOENT when the
  // folder read empty.
  int GetLastPublishError() const { return m_lastPublishError; }
  // An opener that found another tool attached (open count not 0): it left the block untouched
  // and is absent.
  int IsServedByAnotherTool() const { return m_servedElsewhere; }
  // Whether the name can name the block and the picture file "<name>.bmp".
  static bool IsValidInstanceName(const std::string& name);

  // Either side.
  const std::string& GetName() const { return m_strName; }
  int IsCreator() const { return m_bCreator; }
  int IsImageReady() const;
  unsigned GetOpenCount() const;
  unsigned GetCreateCount() const;
  std::string GetImagePath() const;  // folder + name + ".bmp"; empty while the folder is

  // Host side: only a creating attachment may change these; they return 1 on success.
  // 0 when it needs more than 259 UTF-16 units. GetFolder meanwhile reads the old folder, an
  // empty one or the new one, never a mixture.
  [[nodiscard]] int SetFolder(const std::string& utf8Folder);
  [[nodiscard]] int SetMediaSize(int height, int width);
  [[nodiscard]] int AcknowledgeImage();  // nImageReady back to 0: the host has taken the picture

 private:
  std::u16string ReadFolderUnits() const;

  std::string m_strName;
  std::unique_ptr<CSharedMemory> m_mapping;
  STATUS_BLOCK* m_status = nullptr;
  int m_bCreator = 0;
  int m_servedElsewhere = 0;
  int m_lastPublishError = 0;           // written by PublishImage's thread only
  std::vector<unsigned char> m_padded;  // PublishImage's rows padded to the stored stride

  // The host's lock on the block was seen held; any thread that checks the host.
  mutable std::atomic<bool> m_hostLockSeen{false};
};
