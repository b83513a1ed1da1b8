#include "command_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace telvane {

namespace {
constexpr const char* kExit = "Exit";
}

CommandReader::CommandReader(int fd) : fd_(fd), chunk_(new char[kChunkBytes]) {
  message_.reserve(kMaxCommandBytes);
}

const char* CommandReader::next() {
  message_.clear();
  bool started = false;  // a line has begun, even if it is empty so far
  bool cut = false;
  for (;;) {
    if (begin_ == end_) {
      if (at_end_) return started ? message_.c_str() : kExit;
      const ssize_t got = ::read(fd_, chunk_.get(), kChunkBytes);
      if (got < 0 && errno == EINTR) continue;
      begin_ = 0;
      end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
      if (got < 0) {
        std::fprintf(stderr, "telvane: standard input: cannot read a command: %s\n",
                     std::strerror(errno));
      }
      at_end_ = got <= 0;
      continue;
    }
    started = true;
    const char* from = chunk_.get() + begin_;
    const auto* line_end = static_cast<const char*>(std::memchr(from, '\n', end_ - begin_));
    const std::size_t bytes =
        line_end != nullptr ? static_cast<std::size_t>(line_end - from) : end_ - begin_;
    const std::size_t kept = std::min(bytes, kMaxCommandBytes - message_.size());
    message_.append(from, kept);
    if (kept < bytes && !cut) {
      cut = true;
      std::fprintf(stderr,
                   "telvane: standard input: a command line longer than %zu bytes "
                   "was cut to that length\n",
                   kMaxCommandBytes);
    }
    begin_ += bytes;
    if (line_end != nullptr) {
      ++begin_;
      return message_.c_str();
    }
  }
}

}  // namespace telvane
