#include "signal.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

// F(k) mod 100 repeats with period 300 for k >= 0 (the Pisano period of
// 100), so one period, worked out once by the compiler from (0, 1), gives
// every value in one step whatever the stream number.
constexpr std::int32_t kPeriod = 300;

constexpr std::array<unsigned char, kPeriod> kFibonacciMod100 = [] {
  std::array<unsigned char, kPeriod> values{};
  unsigned previous = 0, current = 1;
  for (auto& value : values) {
    value = static_cast<unsigned char>(previous);
    const unsigned next = (previous + current) % 100;
    previous = current;
    current = next;
  }
  return values;
}();

static_assert(kFibonacciMod100[10] == 55 && kFibonacciMod100[150] == 0 &&
              kFibonacciMod100[151] == 49);

}  // namespace

void fill_signal(double (&signal)[kSignalLength], std::int32_t n) {
  for (std::size_t i = 0; i < kSignalLength; ++i) {
    // Unsigned addition wraps without overflow; the conversion back to a
    // signed index is modular.
    const auto index =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + static_cast<std::uint32_t>(i));
    signal[i] = index <= 0 ? 0.0 : static_cast<double>(kFibonacciMod100[index % kPeriod]);
  }
}

std::int32_t scan_stream_number(const char* command) {
  // sscanf matches the words; strtoll reads the number as %d would (white
  // space, an optional sign, digits) but saturates instead of overflowing.
  int number_at = -1;
  std::sscanf(command, "Send Stream %n", &number_at);
  if (number_at < 0) return 0;
  const long long wide = std::strtoll(command + number_at, nullptr, 10);
  constexpr long long kLowest = std::numeric_limits<std::int32_t>::min();
  constexpr long long kHighest = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(wide < kLowest ? kLowest : wide > kHighest ? kHighest : wide);
}
