// Replays fuzz inputs without libFuzzer, so a build with any compiler checks every reader against
// the stored corpus: each argument is a file or a folder of files, each file one input. An empty
// input always runs as well. A fault ends the process (the sanitizer builds report it); the exit
// status is 1 when a corpus path cannot be read.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

void RunOne(const std::vector<char>& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

bool RunFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  RunOne(bytes);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  RunOne({});
  int inputs = 1;
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path root = argv[i];
    std::error_code ec;
    std::vector<fs::path> files;
    if (fs::is_directory(root, ec)) {
      for (const auto& entry : fs::recursive_directory_iterator(root, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(root);
    }
    if (ec || files.empty()) {
      std::fprintf(stderr, "fuzz replay: no inputs in %s\n", root.c_str());
      status = 1;
    }
    for (const fs::path& file : files) {
      if (!RunFile(file)) {
        std::fprintf(stderr, "fuzz replay: cannot read %s\n", file.c_str());
        status = 1;
      }
      ++inputs;
    }
  }
  std::printf("fuzz replay: %d inputs\n", inputs);
  return status;
}
