// Looking into a channel from outside, without attaching to it, and removing
// one that nobody is attached to.
#pragma once

#include <cstdint>
#include <string>

namespace telvane {

struct Attachment {
  bool attached = false;
  std::int32_t pid = 0;  // as the attached process wrote it; 0 when unknown
};

struct ChannelReport {
  std::string path;
  std::uint64_t capacity = 0;
  std::uint64_t read_cursor = 0;
  std::uint64_t write_cursor = 0;
  // Not yet released by a reader, the stream in a reader's hands included.
  std::uint64_t bytes_waiting = 0;
  std::uint64_t streams_waiting = 0;
  Attachment sender;
  Attachment reader;
};

// Reads the channel at path as it is now. Throws std::runtime_error with a
// "telvane:" message for a missing, refused or corrupt channel.
ChannelReport inspect_channel(const std::string& path);

// Removes the channel file at path, refusing (std::runtime_error) while a
// sender or a reader is attached to it.
void remove_channel(const std::string& path);

}  // namespace telvane
