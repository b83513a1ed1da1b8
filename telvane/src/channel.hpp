// A channel: the shared file that a sender and a reader map, opened for one
// of the two roles and checked before anything in it is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <sys/types.h>

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

// "telvane: channel PATH: CAUSE".
std::string channel_message(std::string_view path, std::string_view cause);

// Opens the channel file at path with the given open(2) flags (O_CREAT makes
// it with mode 0600) and refuses a symbolic link, anything but a regular
// file, a file of another user and one writable by group or others. Returns
// the descriptor; throws std::runtime_error naming the cause.
int open_channel_file(const std::string& path, int flags);

// Checks a channel header against the size of its file and returns the
// ring's capacity; throws std::runtime_error when they disagree.
std::uint64_t check_header(std::string_view path, const layout::ChannelHeader& header,
                           std::uint64_t file_bytes);

// Whether some open file description holds the lock on byte of fd's file.
bool is_locked(int fd, off_t byte);

// Takes the lock on byte of fd's file without waiting; false when another
// open file description holds it.
bool try_lock_byte(int fd, off_t byte);

class Channel {
 public:
  // Opens the channel at path for role, making it with the given capacity
  // when the file does not exist or was left half-made. Holds the role's lock
  // for as long as the Channel lives. Throws std::runtime_error with a
  // "telvane:" message that names the channel and the cause.
  static std::unique_ptr<Channel> open(const std::string& path, Role role,
                                       std::uint64_t capacity = layout::kDefaultCapacity);

  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  ~Channel();

  layout::ChannelHeader& header() const { return *header_; }
  std::byte* ring() const { return ring_; }
  std::uint64_t capacity() const { return capacity_; }
  const std::string& path() const { return path_; }

  // A "telvane:" message about this channel.
  std::string message(std::string_view cause) const;

  // Throws std::runtime_error when the path no longer leads to the file this
  // channel has mapped: removed, or replaced by another. A process that went
  // on then would talk to a file nobody else can reach.
  void check_still_linked() const;

 private:
  Channel(std::string path, Role role, int fd, void* mapping, std::size_t mapping_bytes,
          std::uint64_t capacity);
  std::atomic<std::int32_t>& own_pid() const;

  std::string path_;
  Role role_;
  int fd_;
  void* mapping_;
  std::size_t mapping_bytes_;
  layout::ChannelHeader* header_;
  std::byte* ring_;
  std::uint64_t capacity_;
  dev_t device_;
  ino_t inode_;
};

}  // namespace telvane
