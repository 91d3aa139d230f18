// Runs a fuzz target's entry point over files, as the fuzzer would, without the fuzzer: each
// argument is a file or a folder (walked recursively, in name order). Built with any compiler
// and any sanitizer, it replays a corpus or the regression inputs. Exit status 0 when every
// input ran; a sanitizer report or a broken promise ends the process before that.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fprintf(stderr, "running %s (%zu bytes)\n", path.c_str(), bytes.size());
  // A copy of exactly the input's length, so that a read past its end is caught.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t ran = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        if (run_file(file)) ++ran; else ok = false;
      }
    } else if (run_file(arg)) {
      ++ran;
    } else {
      ok = false;
    }
  }
  std::printf("%s: %zu inputs ran\n", argv[0], ran);
  return ok ? 0 : 1;
}
