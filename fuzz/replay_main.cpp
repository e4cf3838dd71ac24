// Replays a corpus through a fuzz target without libFuzzer: every file named on
// the command line, and every file inside every folder named there, is fed to
// LLVMFuzzerTestOneInput once, in name order. A property that fails aborts the
// process (see fuzz_support.h); the input being replayed is named first.
//
// Usage: <target>_replay PATH...   Exit status 0 when every input passed, 2
// when a path cannot be read or no input was found.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool CollectInputs(const fs::path& path, std::vector<fs::path>& inputs) {
  std::error_code error;
  if (fs::is_directory(path, error)) {
    for (const fs::directory_entry& entry : fs::directory_iterator(path, error)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    return !error;
  }
  if (fs::is_regular_file(path, error)) {
    inputs.push_back(path);
    return true;
  }
  std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
  return false;
}

bool ReadFile(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!CollectInputs(argv[i], inputs)) return 2;
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 2;
  }
  std::vector<uint8_t> bytes;
  for (const fs::path& input : inputs) {
    if (!ReadFile(input, bytes)) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 2;
    }
    std::fprintf(stderr, "replay: %s\n", input.filename().c_str());
    // The data pointer of an empty vector may be null; libFuzzer never passes null.
    static const uint8_t kNothing = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
  }
  std::printf("replay: %zu inputs passed\n", inputs.size());
  return 0;
}
