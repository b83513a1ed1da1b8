// checking_reader: takes streams as the reader does and checks each against
// what the sender makes for its id: the ten generated values, "today" and
// 0.1, bit for bit. Prints "ok ID" or "BAD ID" per stream.
#include <bit>
#include <cstdint>
#include <iostream>

#include <telvane/telvane.hpp>

#include "signal.hpp"

int main() {
  cppInit();
  for (;;) {
    const Stream stream = getStream();
    double expected[kSignalLength];
    fill_signal(expected, stream.id);
    bool sound = stream.text == "today" &&
                 std::bit_cast<std::uint64_t>(stream.value) == 0x3fb999999999999a &&
                 stream.data.size() == kSignalLength;
    for (std::size_t i = 0; sound && i < kSignalLength; ++i) {
      sound =
          std::bit_cast<std::uint64_t>(stream.data[i]) == std::bit_cast<std::uint64_t>(expected[i]);
    }
    std::cout << (sound ? "ok " : "BAD ") << stream.id << std::endl;
  }
}
