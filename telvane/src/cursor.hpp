// The two ends of a channel's ring: the sender's write cursor and the
// reader's read cursor. Each end keeps its own position and a cached copy of
// the other end's cursor, and touches the shared cursors only when that copy
// is not enough.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include <telvane/telvane.hpp>

#include "channel.hpp"

namespace telvane {

class StreamWriter {
 public:
  // Continues after the last record that was published on the channel.
  // Throws std::runtime_error when the channel's cursors contradict each
  // other.
  explicit StreamWriter(Channel& channel);

  // Copies one stream into the ring and publishes it, waiting while the ring
  // has no room. Throws std::invalid_argument when the stream cannot fit the
  // ring, std::runtime_error when the channel is corrupt or its file was
  // removed or replaced; nothing is published then.
  void write(std::int32_t id, std::string_view text, double value, std::span<const double> data);

 private:
  void wait_for_room(std::uint64_t bytes);
  void check_link_now_and_then();
  std::uint64_t load_read_cursor() const;

  Channel& channel_;
  std::uint64_t write_;
  std::uint64_t cached_read_;
  bool told_waiting_ = false;
  std::chrono::nanoseconds next_link_check_{0};
};

class StreamReader {
 public:
  // Starts at the first stream that the reader has not yet released. Throws
  // std::runtime_error when the channel's cursors contradict each other.
  explicit StreamReader(Channel& channel);

  // Releases the stream returned before, then waits for the next and returns
  // it. Throws std::runtime_error on a corrupt record, which stays in place,
  // and when the channel's file is removed or replaced while it waits.
  Stream next();

  // As next(), but returns nothing at once when no stream is waiting.
  std::optional<Stream> try_next();

 private:
  std::optional<Stream> take(bool wait);
  void release(std::uint64_t bytes);
  std::uint64_t load_write_cursor() const;

  Channel& channel_;
  std::uint64_t read_;
  std::uint64_t cached_write_;
  std::uint64_t held_ = 0;  // bytes of the stream in the caller's hands
};

}  // namespace telvane
