#include "signal.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

// F(k) mod 100 repeats with period 300 for k >= 0 (the Pisano period of 100).
constexpr std::int32_t kPeriod = 300;

struct FibonacciPair {
  unsigned previous = 0;  // F(k) mod 100
  unsigned current = 1;   // F(k + 1) mod 100

  void step() {
    const unsigned next = (previous + current) % 100;
    previous = current;
    current = next;
  }
};

}  // namespace

void fill_signal(double (&signal)[kSignalLength], std::int32_t n) {
  FibonacciPair pair;
  bool walking = false;  // pair holds the index of this slot
  for (std::size_t i = 0; i < kSignalLength; ++i) {
    // Unsigned addition wraps without overflow; the conversion back to a
    // signed index is modular.
    const auto index =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + static_cast<std::uint32_t>(i));
    if (index <= 0) {
      signal[i] = 0.0;
      walking = false;
      continue;
    }
    if (!walking) {
      pair = FibonacciPair{};
      for (std::int32_t k = 0; k < index % kPeriod; ++k) pair.step();
      walking = true;
    }
    signal[i] = static_cast<double>(pair.previous);
    pair.step();
  }
}

std::int32_t scan_stream_number(const char* command) {
  // sscanf matches the words; strtoll reads the number as %d would (white
  // space, an optional sign, digits) but saturates instead of overflowing.
  int number_at = -1;
  std::sscanf(command, "Send Stream %n", &number_at);
  if (number_at < 0) return 0;
  errno = 0;
  const long long wide = std::strtoll(command + number_at, nullptr, 10);
  constexpr long long kLowest = std::numeric_limits<std::int32_t>::min();
  constexpr long long kHighest = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(wide < kLowest ? kLowest : wide > kHighest ? kHighest : wide);
}
