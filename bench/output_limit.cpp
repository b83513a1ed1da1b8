// The limit the reader's own output sets: its two lines per stream, each
// flushed, written by a plain loop with no channel.
#include <cstdint>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
  const long streams = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
  std::int32_t id = 0;
  for (std::uint64_t count = 1; count <= static_cast<std::uint64_t>(streams); ++count) {
    std::cout << "read stream with id: " << id++ << std::endl;
    std::cout << "number of read streams" << count << std::endl;
  }
}
