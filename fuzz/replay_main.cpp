// Runs a fuzz target once over every file of the given corpus folders (or over the given files),
// in name order, so the normal build checks each target against its committed corpus without
// libFuzzer. A broken property aborts; a folder without any input is an error too, so a missing
// corpus cannot pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
    return 2;
  }
  size_t total = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::vector<fs::path> files;
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      for (const auto& entry : fs::directory_iterator(arg, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      if (files.empty()) {
        std::fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[i]);
        return 1;
      }
    } else if (fs::is_regular_file(arg, ec)) {
      files.push_back(arg);
    } else {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
      return 1;
    }
    for (const auto& file : files) {
      const std::vector<uint8_t> data = ReadAll(file);
      // Like libFuzzer, never a null pointer, also for an empty input.
      static const uint8_t kEmpty = 0;
      LLVMFuzzerTestOneInput(data.empty() ? &kEmpty : data.data(), data.size());
      ++total;
    }
  }
  std::fprintf(stderr, "%s: replayed %zu inputs\n", argv[0], total);
  return 0;
}
