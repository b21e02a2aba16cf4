#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "testing/test_files.h"

namespace veldrin {
namespace {

std::string UniqueName(const char* tag) { return veldrin_test::UniqueInstanceName(tag); }

// Removes the object even when an assertion ends the test early.
struct CUnlinkAtEnd {
  std::string name;
  ~CUnlinkAtEnd() { CSharedMemory::Unlink(name); }
};

TEST(SharedMemory, CreatorAndOpenerShareTheBytes) {
  const std::string name = UniqueName("share");
  CUnlinkAtEnd cleanup{name};
  CSharedMemory creator(name, 544, true);
  ASSERT_TRUE(creator.IsMapped());
  EXPECT_EQ(creator.GetSize(), 544u);
  std::memset(creator.GetView(), 0x5A, 544);

  CSharedMemory opener(name, 544, false);
  ASSERT_TRUE(opener.IsMapped());
  const auto* bytes = static_cast<const unsigned char*>(opener.GetView());
  EXPECT_EQ(bytes[0], 0x5A);
  EXPECT_EQ(bytes[543], 0x5A);

  static_cast<unsigned char*>(opener.GetView())[100] = 7;
  EXPECT_EQ(static_cast<const unsigned char*>(creator.GetView())[100], 7);

  // A second creator opens the same object and keeps its contents.
  CSharedMemory second(name, 544, true);
  ASSERT_TRUE(second.IsMapped());
  EXPECT_EQ(static_cast<const unsigned char*>(second.GetView())[100], 7);
}

TEST(SharedMemory, OpenerNeedsAnExistingObjectLargeEnough) {
  const std::string name = UniqueName("open");
  CUnlinkAtEnd cleanup{name};
  EXPECT_FALSE(CSharedMemory(name, 544, false).IsMapped());

  // Mapping past the end of a smaller object would fault on access: refused instead.
  CSharedMemory small(name, 16, true);
  ASSERT_TRUE(small.IsMapped());
  EXPECT_FALSE(CSharedMemory(name, 544, false).IsMapped());
  EXPECT_TRUE(CSharedMemory(name, 16, false).IsMapped());

  // A creator grows it; the smaller mapping stays valid.
  CSharedMemory grown(name, 544, true);
  ASSERT_TRUE(grown.IsMapped());
  EXPECT_TRUE(CSharedMemory(name, 544, false).IsMapped());
  static_cast<unsigned char*>(small.GetView())[15] = 1;

  EXPECT_TRUE(CSharedMemory::Unlink(name));
  EXPECT_FALSE(CSharedMemory(name, 16, false).IsMapped());
  EXPECT_EQ(static_cast<unsigned char*>(grown.GetView())[15], 1);
  EXPECT_FALSE(CSharedMemory::Unlink(name));
}

TEST(SharedMemory, NamesThatCannotNameAnObjectLeaveItUnmapped) {
  for (const std::string& bad :
       {std::string(), std::string("/"), std::string("a/b"), std::string("/lead"),
        std::string("trail/"), std::string("."), std::string(".."), std::string("nul\0x", 5),
        std::string(300, 'n')}) {
    SCOPED_TRACE(bad);
    CSharedMemory creator(bad, 544, true);
    EXPECT_FALSE(creator.IsMapped());
    EXPECT_EQ(creator.GetView(), nullptr);
    EXPECT_FALSE(CSharedMemory(bad, 544, false).IsMapped());
  }
  EXPECT_FALSE(CSharedMemory(UniqueName("zero"), 0, true).IsMapped());
}

}  // namespace
}  // namespace veldrin
