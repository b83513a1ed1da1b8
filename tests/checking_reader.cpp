// checking_reader: takes streams as the reader does and checks each against
// what the sender makes for its id: the ten generated values, "today" and
// 0.1, bit for bit. Prints "ok ID" or "BAD ID" per stream.
#include <bit>
#include <cstdint>
#include <cstring>
#include <iostream>

#include <telvane/telvane.hpp>

#include "signal.hpp"

int main() {
  cppInit();
  for (;;) {
    const Stream stream = getStream();
    double expected[kSignalLength];
    fill_signal(expected, stream.id);
    const bool sound = stream.text == "today" &&
                       std::bit_cast<std::uint64_t>(stream.value) == 0x3fb999999999999a &&
                       stream.data.size() == kSignalLength &&
                       std::memcmp(stream.data.data(), expected, sizeof expected) == 0;
    std::cout << (sound ? "ok " : "BAD ") << stream.id << std::endl;
  }
}
