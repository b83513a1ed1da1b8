// Command lines for the producing face, read from a file descriptor.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace telvane {

// Longest command delivered; the rest of a longer line is dropped.
inline constexpr std::size_t kMaxCommandBytes = std::size_t{64} * 1024;

class CommandReader {
 public:
  explicit CommandReader(int fd);

  // The next line without its line feed; every other byte is kept. At the end
  // of input, or after a read error (told on stderr), returns "Exit". The
  // text stays valid until the next call. Memory stays bounded whatever the
  // input: a line past kMaxCommandBytes is cut there, with one warning.
  const char* next();

 private:
  static constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;

  int fd_;
  std::unique_ptr<char[]> chunk_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
  std::string message_;
};

}  // namespace telvane
