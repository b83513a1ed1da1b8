// Telvane: the library through which a sender hands numbered streams of real
// values to a reader in another process.
//
// Producing face (the sender): labviewInit, then getMessage and sendStream in
// turn, then labviewDestroy. Consuming face (the reader): cppInit, then
// getStream without end.
//
// Every int result is 0 on success and non-zero on failure; every failure is
// also told as one line on stderr that starts with "telvane:".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#if defined(TELVANE_BUILDING_LIBRARY)
#define TELVANE_API __attribute__((visibility("default")))
#else
#define TELVANE_API
#endif

// One stream as the reader receives it. It owns its data and text, both from
// the standard allocator, so the caller destroys it with its own code.
struct Stream {
  std::vector<double> data;
  double value = 0.0;
  std::int32_t id = 0;
  std::string text;
};

extern "C" {

// Attaches the calling process to its channel as the sender. A process that
// cannot attach is told why on stderr and ends with a non-zero status.
TELVANE_API int labviewInit();

// Waits for the next command line on standard input and returns it without
// its line feed. At the end of input it returns "Exit". The text stays valid
// and unchanged until the next call into the library.
TELVANE_API const char* getMessage();

// Copies one stream into the channel, waiting for room while the channel is
// full. Nothing is sent when an argument is bad (null text, null data with a
// positive count, count below 0 or above the limit).
TELVANE_API int sendStream(std::int32_t id, const char* text, double value, const double* data,
                           std::int32_t count);

// Detaches the sender from its channel; what was sent stays there for the
// reader.
TELVANE_API int labviewDestroy();

// Attaches the calling process to its channel as the reader. A process that
// cannot attach is told why on stderr and ends with a non-zero status.
TELVANE_API int cppInit();
}

// Waits for the next stream and returns it. The stream before it is released
// from the channel only now, so a reader that dies while handling a stream
// receives it again when it restarts. Throws std::runtime_error, carrying the
// "telvane:" message, when the channel holds a corrupt record.
TELVANE_API Stream getStream();
