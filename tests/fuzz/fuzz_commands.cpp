// Arbitrary bytes as the sender's standard input, through the library's
// command reading and the sender's scan and generator: one message per line,
// each within the length limit, and ten whole values from 0 to 99 each.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "command_reader.hpp"
#include "signal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("commands", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) || ::lseek(fd, 0, SEEK_SET) != 0) {
    std::abort();
  }
  std::size_t lines = 0;
  for (std::size_t i = 0; i < size; ++i) lines += data[i] == '\n';
  if (size > 0 && data[size - 1] != '\n') ++lines;

  telvane::CommandReader commands{fd};
  for (std::size_t i = 0; i < lines; ++i) {
    const char* message = commands.next();
    if (std::strlen(message) > telvane::kMaxCommandBytes) std::abort();
    double signal[kSignalLength];
    fill_signal(signal, scan_stream_number(message));
    for (const double value : signal) {
      if (!(value >= 0 && value <= 99 && value == std::floor(value))) std::abort();
    }
  }
  // Past the last line comes the end of input, as "Exit".
  if (std::strcmp(commands.next(), "Exit") != 0) std::abort();
  return 0;
}
