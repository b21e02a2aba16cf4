// Any objects file: read whole into objects, or refused with a reason, and what is read writes
// back to a file that reads the same.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "hostlink/objects_file.h"
#include "testing/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = veldrin_test::WriteFuzzInput("objects.json", data, size);
  std::uint64_t frame = 0;
  std::vector<SMediaObject> objects;
  std::string error;
  if (!veldrin::ReadObjectsFile(path, frame, objects, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (!veldrin::WriteObjectsFile(veldrin_test::FuzzFolder(), frame, objects)) std::abort();
  std::uint64_t again = 0;
  std::vector<SMediaObject> reread;
  if (!veldrin::ReadObjectsFile(path, again, reread, error) || again != frame ||
      reread.size() != objects.size()) {
    std::abort();
  }
  return 0;
}
