// A fuzz target's entry without libFuzzer: each input named on the command line, or each file of
// a named folder, is run once, in name order. The sanitizer build replays the regression inputs
// and the seed corpus this way, so `make check` runs them under gcc's ASan and UBSan without
// clang's fuzzing build.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!fs::is_directory(argv[i])) {
      inputs.emplace_back(argv[i]);
      continue;
    }
    std::vector<fs::path> folder;
    for (const auto& entry : fs::directory_iterator(argv[i]))
      if (entry.is_regular_file()) folder.push_back(entry.path());
    std::sort(folder.begin(), folder.end());
    inputs.insert(inputs.end(), folder.begin(), folder.end());
  }
  for (const fs::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "%s: cannot read\n", input.c_str());
      return 1;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  // An empty replay would pass without checking anything.
  return inputs.empty() ? 1 : 0;
}
