// The library's six functions over one channel per face. The programs look
// at no result, so every failure is also told on stderr here.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

#include <telvane/telvane.hpp>

#include "channel.hpp"
#include "command_reader.hpp"
#include "cursor.hpp"

namespace {

using telvane::Channel;
using telvane::Role;

// One face's channel and its end of the ring. The end refers to the channel,
// so the two are made and dropped together.
template <class End>
struct Face {
  std::unique_ptr<Channel> channel;
  std::optional<End> end;
};

Face<telvane::StreamWriter> sender;
Face<telvane::StreamReader> reader;
telvane::CommandReader commands{STDIN_FILENO};

// The limits as the messages of sendStream state them.
static_assert(telvane::layout::kMaxCount == 65536 && telvane::layout::kMaxTextBytes == 65536);

void tell(const char* message) { std::fprintf(stderr, "%s\n", message); }

// Attaches a face or ends the process: a program that cannot reach its
// channel must not go on as if it could.
template <class End>
void attach(Face<End>& face, Role role) {
  if (face.channel) return;
  try {
    face.channel = Channel::open(telvane::channel_path_from_environment(), role);
    face.end.emplace(*face.channel);
  } catch (const std::exception& error) {
    tell(error.what());
    std::exit(EXIT_FAILURE);
  }
}

}  // namespace

extern "C" int labviewInit() {
  attach(sender, Role::sender);
  return 0;
}

extern "C" const char* getMessage() { return commands.next(); }

extern "C" int sendStream(std::int32_t id, const char* text, double value, const double* data,
                          std::int32_t count) {
  const char* fault = nullptr;
  if (!sender.end) {
    fault = "telvane: sendStream: the sender is not attached (call labviewInit first)";
  } else if (text == nullptr) {
    fault = "telvane: sendStream: text is null; nothing sent";
  } else if (count < 0 || static_cast<std::uint32_t>(count) > telvane::layout::kMaxCount) {
    fault = "telvane: sendStream: count is below 0 or above 65536; nothing sent";
  } else if (data == nullptr && count > 0) {
    fault = "telvane: sendStream: data is null with a positive count; nothing sent";
  } else if (std::strlen(text) > telvane::layout::kMaxTextBytes) {
    fault = "telvane: sendStream: text is longer than 65536 bytes; nothing sent";
  }
  if (fault != nullptr) {
    tell(fault);
    return 1;
  }
  try {
    sender.end->write(id, text, value,
                      std::span<const double>{data, static_cast<std::size_t>(count)});
    return 0;
  } catch (const std::invalid_argument& error) {
    tell(error.what());
    return 1;
  } catch (const std::exception& error) {
    // The channel itself is gone or broken: every later stream would be
    // lost, so the sender must not go on as if it were sending.
    tell(error.what());
    std::exit(EXIT_FAILURE);
  }
}

extern "C" int labviewDestroy() {
  if (!sender.channel) {
    tell("telvane: labviewDestroy: the sender is not attached");
    return 1;
  }
  sender.end.reset();
  sender.channel.reset();
  return 0;
}

extern "C" int cppInit() {
  attach(reader, Role::reader);
  return 0;
}

Stream getStream() {
  if (!reader.end) {
    throw std::runtime_error("telvane: getStream: the reader is not attached (call cppInit first)");
  }
  return reader.end->next();
}
