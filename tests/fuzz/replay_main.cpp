// Runs a fuzz target once over each file named on the command line or found
// in the directories named there: the seed corpus and the regression inputs
// replay in every build, without the fuzzing engine.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void replay(const std::filesystem::path& file) {
  std::ifstream in{file, std::ios::binary};
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>{in},
                                        std::istreambuf_iterator<char>{}};
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path{argv[i]};
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator{path}) {
        if (entry.is_regular_file()) {
          replay(entry.path());
          ++replayed;
        }
      }
    } else {
      replay(path);
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return replayed == 0 ? 1 : 0;
}
