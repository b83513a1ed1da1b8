// A recording stand-in for the Telvane library, for testing the programs'
// loops. It hands out scripted messages and streams and writes every call,
// in order and with its arguments, one line each, to a log:
//
//   TELVANE_FAKE_LOG       file that receives the call lines
//   TELVANE_FAKE_MESSAGES  file of the messages getMessage returns, each
//                          ended by a NUL byte (so a message may hold a
//                          line feed)
//   TELVANE_FAKE_STREAMS   the ids getStream hands out, blank-separated
//   TELVANE_FAKE_STEP_FD   if set, getStream reads one byte from this
//                          descriptor before each stream after the first
//
// Running past the end of its script ends the process: status 3 for
// getMessage (a loop that should have stopped), 0 for getStream (the reader
// never stops by itself).
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <telvane/telvane.hpp>

namespace {

std::string setting(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string{} : value;
}

void log_call(const std::string& line) {
  static const int fd =
      ::open(setting("TELVANE_FAKE_LOG").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const std::string text = line + "\n";
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::_Exit(4);
  }
}

std::vector<std::string> scripted_messages() {
  std::ifstream file{setting("TELVANE_FAKE_MESSAGES"), std::ios::binary};
  std::vector<std::string> messages;
  for (std::string message; std::getline(file, message, '\0');) messages.push_back(message);
  return messages;
}

std::vector<std::int32_t> scripted_ids() {
  std::istringstream words{setting("TELVANE_FAKE_STREAMS")};
  return {std::istream_iterator<std::int32_t>{words}, std::istream_iterator<std::int32_t>{}};
}

}  // namespace

extern "C" int labviewInit() {
  log_call("labviewInit");
  return 0;
}

extern "C" const char* getMessage() {
  static const std::vector<std::string> messages = scripted_messages();
  static std::size_t next = 0;
  log_call("getMessage");
  if (next == messages.size()) {
    log_call("getMessage past the end of the script");
    std::fflush(stdout);
    std::_Exit(3);
  }
  return messages[next++].c_str();
}

extern "C" int sendStream(std::int32_t id, const char* text, double value, const double* data,
                          std::int32_t count) {
  char head[128];
  std::snprintf(head, sizeof head, "sendStream %" PRId32 " %s 0x%016" PRIx64 " %" PRId32 " ", id,
                text, std::bit_cast<std::uint64_t>(value), count);
  std::string line = head;
  for (std::int32_t i = 0; i < count; ++i) {
    char number[32];
    std::snprintf(number, sizeof number, i == 0 ? "%.17g" : ",%.17g", data[i]);
    line += number;
  }
  log_call(line);
  return 0;
}

extern "C" int labviewDestroy() {
  log_call("labviewDestroy");
  return 0;
}

extern "C" int cppInit() {
  log_call("cppInit");
  return 0;
}

Stream getStream() {
  static const std::vector<std::int32_t> ids = scripted_ids();
  static std::size_t next = 0;
  static const std::string step_fd = setting("TELVANE_FAKE_STEP_FD");
  log_call("getStream");
  if (next > 0 && !step_fd.empty()) {
    char byte;
    if (::read(std::atoi(step_fd.c_str()), &byte, 1) != 1) std::_Exit(5);
  }
  if (next == ids.size()) std::_Exit(0);
  Stream stream;
  stream.id = ids[next++];
  stream.text = "fake";
  stream.data.assign(10, 1.0);
  return stream;
}
