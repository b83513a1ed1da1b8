// A program of your own that takes streams from a channel: it prints each
// stream's id, text, value and data, and stops after the number of streams
// given as its argument.
#include <cstdlib>
#include <iostream>

#include <telvane/telvane.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: consumer COUNT\n";
    return 2;
  }
  const long wanted = std::strtol(argv[1], nullptr, 10);
  cppInit();
  for (long taken = 0; taken < wanted; ++taken) {
    const Stream stream = getStream();
    std::cout << "stream " << stream.id << " \"" << stream.text << "\" " << stream.value << ":";
    for (const double value : stream.data) std::cout << ' ' << value;
    std::cout << std::endl;
  }
  return 0;
}
