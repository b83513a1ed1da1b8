// A channel: the shared file that a sender and a reader map, opened for one
// of the two roles and checked before anything in it is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "layout.hpp"

namespace telvane {

enum class Role { sender, reader };

// Byte ranges of the channel file that carry open-file-description locks.
// The kernel drops them when their holder dies, so a crashed process never
// keeps a channel busy.
inline constexpr off_t kInitLockByte = 0;
inline constexpr off_t kSenderLockByte = 1;
inline constexpr off_t kReaderLockByte = 2;

inline constexpr std::string_view kDefaultChannelName = "telvane";

// The file of the channel that a TELVANE_CHANNEL setting selects: the
// default channel when it is empty, a path when it has a slash, else a
// per-user file in /dev/shm. Throws std::runtime_error on a bad name.
std::string channel_path(std::string_view setting);

// channel_path() of the process's TELVANE_CHANNEL.
std::string channel_path_from_environment();

class Channel {
 public:
  // Opens the channel at path for role, making it with the given capacity
  // when the file does not exist or was left half-made. Holds the role's lock
  // for as long as the Channel lives. Throws std::runtime_error with a
  // "telvane:" message that names the channel and the cause.
  static std::unique_ptr<Channel> open(const std::string& path, Role role,
                                       std::uint64_t capacity =
                                           layout::kDefaultCapacity);

  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  ~Channel();

  layout::ChannelHeader& header() const { return *header_; }
  std::byte* ring() const { return ring_; }
  std::uint64_t capacity() const { return capacity_; }
  const std::string& path() const { return path_; }

  // A "telvane:" message about this channel.
  std::string message(std::string_view cause) const;

 private:
  Channel(std::string path, Role role, int fd, void* mapping,
          std::size_t mapping_bytes, std::uint64_t capacity);
  std::atomic<std::int32_t>& own_pid() const;

  std::string path_;
  Role role_;
  int fd_;
  void* mapping_;
  std::size_t mapping_bytes_;
  layout::ChannelHeader* header_;
  std::byte* ring_;
  std::uint64_t capacity_;
};

}  // namespace telvane
