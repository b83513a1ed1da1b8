// reader: takes streams one after another and counts them, without end.
#include <cstdint>
#include <iostream>

#include <telvane/telvane.hpp>

int main() {
  cppInit();
  std::uint64_t read_streams = 0;
  for (;;) {
    const Stream stream = getStream();
    std::cout << "read stream with id: " << stream.id << std::endl;
    ++read_streams;
    std::cout << "number of read streams" << read_streams << std::endl;
  }
}
