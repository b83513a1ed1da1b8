// sender: answers every command but "Exit" with one stream of ten values.
#include <cstdio>
#include <cstring>

#include <telvane/telvane.hpp>

#include "signal.hpp"

static double signal_buffer[kSignalLength];

int main() {
  labviewInit();
  const char* message = getMessage();
  std::printf("received msg: %s\n", message);
  while (std::strcmp(message, "Exit") != 0) {
    const std::int32_t stream_number = scan_stream_number(message);
    std::printf("sending stream: %d\n", stream_number);
    fill_signal(signal_buffer, stream_number);
    sendStream(stream_number, "today", 0.1, signal_buffer, kSignalLength);
    message = getMessage();
    std::printf("received msg: %s\n", message);
  }
  std::printf("exitting program\n");
  labviewDestroy();
  return 0;
}
