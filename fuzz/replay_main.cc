// Runs a fuzz target over every file of the directories (or files) named on
// the command line, without libFuzzer: how the normal test run replays the
// seed and regression corpora; a path that does not exist is passed over.
// Exits 0 when at least one input was replayed and every input passed.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::directory_iterator(argv[i]))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    } else if (fs::exists(argv[i])) {
      inputs.push_back(argv[i]);
    }
  }
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                           bytes.size());
  }
  printf("%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
