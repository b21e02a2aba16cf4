#include "resources/string_table.h"

#include <gtest/gtest.h>

namespace veldrin {
namespace {

// The texts are what the operator reads and what the host's support documents quote.
TEST(StringTable, EveryEntryHasItsExactText) {
  const std::pair<int, const char*> expected[] = {
      {101, "&About de Tabulo..."},
      {102, "Connection failed. Unable to launch the application."},
      {103, "Camera not found. Unable to launch the application."},
      {104, "Are you sure you want to remove the calibration?"},
      {105, "Are you sure you want to overwrite the calibration?"},
      {106, "Unable to open camera"},
      {107, "Preferred camera is not available.\n Do you want to try using another one ?"},
  };
  for (const auto& [id, text] : expected) EXPECT_EQ(LoadStringResource(id), text) << "id " << id;
}

TEST(StringTable, UnknownIdsGiveEmptyText) {
  for (int id : {0, -1, 100, 108, 5001}) EXPECT_TRUE(LoadStringResource(id).empty()) << id;
  // Repeated lookups hand out the same storage, so callers may keep the reference.
  EXPECT_EQ(&LoadStringResource(106), &LoadStringResource(106));
}

}  // namespace
}  // namespace veldrin
