#include "channel.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace telvane {

namespace {

using layout::ChannelHeader;

constexpr std::size_t kMaxNameBytes = 128;

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

[[noreturn]] void refuse(std::string_view path, std::string_view cause) {
  throw std::runtime_error(channel_message(path, cause));
}

[[noreturn]] void refuse_errno(std::string_view path, std::string_view what) {
  const int error = errno;
  std::string cause{what};
  cause += ": ";
  cause += std::strerror(error);
  refuse(path, cause);
}

// Closes the descriptor unless released; keeps the error paths of open()
// free of leaks.
class FileGuard {
 public:
  explicit FileGuard(int fd) : fd_(fd) {}
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;
  ~FileGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

class MappingGuard {
 public:
  MappingGuard(void* address, std::size_t bytes) : address_(address), bytes_(bytes) {}
  MappingGuard(const MappingGuard&) = delete;
  MappingGuard& operator=(const MappingGuard&) = delete;
  ~MappingGuard() {
    if (address_ != nullptr) ::munmap(address_, bytes_);
  }
  void* get() const { return address_; }

 private:
  void* address_;
  std::size_t bytes_;
};

// The lock of one byte of the file, of the given type.
struct flock byte_lock(short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

int lock_byte(int fd, off_t byte, int command) {
  struct flock lock = byte_lock(F_WRLCK, byte);
  int result;
  do {
    result = ::fcntl(fd, command, &lock);
  } while (result == -1 && errno == EINTR);
  return result;
}

void unlock_byte(int fd, off_t byte) {
  struct flock lock = byte_lock(F_UNLCK, byte);
  ::fcntl(fd, F_OFD_SETLK, &lock);
}

bool is_power_of_two(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

bool capacity_in_range(std::uint64_t capacity) {
  return is_power_of_two(capacity) && capacity >= layout::kMinCapacity &&
         capacity <= layout::kMaxCapacity;
}

void* map_file(const std::string& path, int fd, std::size_t bytes) {
  void* address = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) refuse_errno(path, "cannot map it");
  return address;
}

ChannelHeader* header_at(void* address) {
  return std::launder(reinterpret_cast<ChannelHeader*>(address));
}

// Gives a new or half-made file its full size and a fresh header. Runs under
// the init lock, so no other process looks at the file meanwhile; the magic
// number goes in last, so a file whose maker died midway stays recognisably
// half-made.
void initialise(const std::string& path, int fd, std::uint64_t capacity) {
  const auto bytes = static_cast<off_t>(layout::kHeaderBytes + capacity);
  if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, bytes) != 0) {
    refuse_errno(path, "cannot size it");
  }
  // Reserve the pages now: a full /dev/shm must fail here, not as a SIGBUS
  // on some later write into the mapping.
  if (const int error = ::posix_fallocate(fd, 0, bytes); error != 0) {
    errno = error;
    refuse_errno(path, "cannot reserve its memory");
  }
  MappingGuard mapping{map_file(path, fd, layout::kHeaderBytes), layout::kHeaderBytes};
  ChannelHeader& header = *header_at(mapping.get());
  header.version = layout::kVersion;
  header.header_bytes = layout::kHeaderBytes;
  header.capacity = capacity;
  header.write_cursor.store(0, std::memory_order_relaxed);
  header.read_cursor.store(0, std::memory_order_relaxed);
  std::atomic_ref<std::uint64_t>{header.magic}.store(layout::kMagic, std::memory_order_release);
  if (::msync(mapping.get(), layout::kHeaderBytes, MS_SYNC) != 0) {
    refuse_errno(path, "cannot write its header");
  }
}

bool is_half_made(const ChannelHeader& header) {
  return header.magic == 0 && header.version == 0 && header.capacity == 0;
}

}  // namespace

std::string channel_message(std::string_view path, std::string_view cause) {
  std::string text = "telvane: channel ";
  text += path;
  text += ": ";
  text += cause;
  return text;
}

std::uint64_t check_header(std::string_view path, const ChannelHeader& header,
                           std::uint64_t file_bytes) {
  if (header.magic != layout::kMagic) {
    refuse(path, "is not a telvane channel (wrong magic number)");
  }
  if (header.version != layout::kVersion) {
    refuse(path, "has version " + std::to_string(header.version) + ", this library reads version " +
                     std::to_string(layout::kVersion));
  }
  if (header.header_bytes != layout::kHeaderBytes) {
    refuse(path, "has a header of " + std::to_string(header.header_bytes) + " bytes, expected " +
                     std::to_string(layout::kHeaderBytes));
  }
  if (!capacity_in_range(header.capacity)) {
    refuse(path, "has a bad capacity of " + std::to_string(header.capacity) +
                     " bytes (a power of two from " + std::to_string(layout::kMinCapacity) +
                     " to " + std::to_string(layout::kMaxCapacity) + " is needed)");
  }
  const std::uint64_t expected = layout::kHeaderBytes + header.capacity;
  if (file_bytes != expected) {
    refuse(path, "is " + std::to_string(file_bytes) + " bytes, but its header says " +
                     std::to_string(expected));
  }
  return header.capacity;
}

int open_channel_file(const std::string& path, int flags) {
  FileGuard file{::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (file.get() < 0) {
    if (errno == ELOOP) refuse(path, "is a symbolic link; refusing to follow it");
    refuse_errno(path, "cannot open it");
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) refuse_errno(path, "cannot inspect it");
  if (!S_ISREG(status.st_mode)) refuse(path, "is not a regular file");
  if (status.st_uid != ::geteuid()) {
    refuse(path, "belongs to user " + std::to_string(status.st_uid) + ", not to this user (" +
                     std::to_string(::geteuid()) + ")");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    refuse(path, "is writable by group or others; refusing it");
  }
  return file.release();
}

bool is_locked(int fd, off_t byte) {
  struct flock lock = byte_lock(F_WRLCK, byte);
  return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

bool try_lock_byte(int fd, off_t byte) { return lock_byte(fd, byte, F_OFD_SETLK) == 0; }

std::string channel_path(std::string_view setting) {
  if (setting.find('/') != std::string_view::npos) return std::string{setting};
  const std::string_view name = setting.empty() ? kDefaultChannelName : setting;
  bool valid = name.size() <= kMaxNameBytes && name.front() != '.';
  for (const char c : name) valid = valid && is_name_char(c);
  if (!valid) {
    throw std::runtime_error("telvane: channel name \"" + std::string{name} +
                             "\" in TELVANE_CHANNEL is not valid: use up to 128 letters, digits, "
                             "'.', '_' or '-', not starting with '.', or a path with a '/'");
  }
  return "/dev/shm/telvane-" + std::to_string(::geteuid()) + "-" + std::string{name};
}

std::string channel_path_from_environment() {
  const char* setting = std::getenv("TELVANE_CHANNEL");
  return channel_path(setting == nullptr ? std::string_view{} : setting);
}

std::unique_ptr<Channel> Channel::open(const std::string& path, Role role, std::uint64_t capacity) {
  if (!capacity_in_range(capacity)) {
    refuse(path, "cannot be made with a capacity of " + std::to_string(capacity) + " bytes");
  }
  FileGuard file{open_channel_file(path, O_RDWR | O_CREAT)};

  const off_t role_byte = role == Role::sender ? kSenderLockByte : kReaderLockByte;
  if (!try_lock_byte(file.get(), role_byte)) {
    if (errno == EAGAIN || errno == EACCES) {
      refuse(path, role == Role::sender ? "another sender is attached to it"
                                        : "another reader is attached to it");
    }
    refuse_errno(path, "cannot lock it");
  }

  // Whoever holds the init lock makes or checks the file; a process that
  // starts at the same instant waits here until the header is complete.
  if (lock_byte(file.get(), kInitLockByte, F_OFD_SETLKW) != 0) {
    refuse_errno(path, "cannot take its init lock");
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) refuse_errno(path, "cannot inspect it");
  std::uint64_t ring_bytes = capacity;
  if (status.st_size == 0) {
    initialise(path, file.get(), capacity);
  } else {
    if (status.st_size < static_cast<off_t>(layout::kHeaderBytes)) {
      refuse(path,
             "is " + std::to_string(status.st_size) + " bytes, shorter than a channel header");
    }
    MappingGuard head{map_file(path, file.get(), layout::kHeaderBytes), layout::kHeaderBytes};
    const ChannelHeader& header = *header_at(head.get());
    if (is_half_made(header)) {
      initialise(path, file.get(), capacity);
    } else {
      ring_bytes = check_header(path, header, static_cast<std::uint64_t>(status.st_size));
    }
  }
  unlock_byte(file.get(), kInitLockByte);

  const std::size_t mapping_bytes = layout::kHeaderBytes + ring_bytes;
  void* mapping = map_file(path, file.get(), mapping_bytes);
  return std::unique_ptr<Channel>{
      new Channel{path, role, file.release(), mapping, mapping_bytes, ring_bytes}};
}

Channel::Channel(std::string path, Role role, int fd, void* mapping, std::size_t mapping_bytes,
                 std::uint64_t capacity)
    : path_(std::move(path)),
      role_(role),
      fd_(fd),
      mapping_(mapping),
      mapping_bytes_(mapping_bytes),
      header_(header_at(mapping)),
      ring_(static_cast<std::byte*>(mapping) + layout::kHeaderBytes),
      capacity_(capacity) {
  struct stat status {};
  ::fstat(fd_, &status);
  device_ = status.st_dev;
  inode_ = status.st_ino;
  own_pid().store(static_cast<std::int32_t>(::getpid()), std::memory_order_relaxed);
}

Channel::~Channel() {
  // Clear the pid only if it is still ours; the lock is what really tells
  // whether a side is attached.
  std::int32_t pid = static_cast<std::int32_t>(::getpid());
  own_pid().compare_exchange_strong(pid, 0, std::memory_order_relaxed);
  ::munmap(mapping_, mapping_bytes_);
  ::close(fd_);
}

std::atomic<std::int32_t>& Channel::own_pid() const {
  return role_ == Role::sender ? header_->sender_pid : header_->reader_pid;
}

std::string Channel::message(std::string_view cause) const { return channel_message(path_, cause); }

void Channel::check_still_linked() const {
  struct stat status {};
  if (::lstat(path_.c_str(), &status) != 0 || status.st_dev != device_ || status.st_ino != inode_) {
    throw std::runtime_error(message("its file was removed or replaced while attached"));
  }
}

}  // namespace telvane
