#include "inspect.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "channel.hpp"
#include "layout.hpp"
#include "record.hpp"

namespace telvane {

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

class ReadOnlyMapping {
 public:
  ReadOnlyMapping(const std::string& path, int fd, std::size_t bytes) : bytes_(bytes) {
    address_ = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    if (address_ == MAP_FAILED) {
      throw std::runtime_error(
          channel_message(path, std::string{"cannot map it: "} + std::strerror(errno)));
    }
  }
  ReadOnlyMapping(const ReadOnlyMapping&) = delete;
  ReadOnlyMapping& operator=(const ReadOnlyMapping&) = delete;
  ~ReadOnlyMapping() { ::munmap(address_, bytes_); }
  const std::byte* bytes() const { return static_cast<const std::byte*>(address_); }

 private:
  void* address_;
  std::size_t bytes_;
};

std::uint64_t file_bytes(const std::string& path, int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    throw std::runtime_error(
        channel_message(path, std::string{"cannot inspect it: "} + std::strerror(errno)));
  }
  return static_cast<std::uint64_t>(status.st_size);
}

Attachment attachment(int fd, off_t lock_byte, const std::atomic<std::int32_t>& pid) {
  Attachment result;
  result.attached = is_locked(fd, lock_byte);
  if (result.attached) result.pid = pid.load(std::memory_order_relaxed);
  return result;
}

}  // namespace

ChannelReport inspect_channel(const std::string& path) {
  const Descriptor file{open_channel_file(path, O_RDONLY)};
  const std::uint64_t size = file_bytes(path, file.get());
  if (size < layout::kHeaderBytes) {
    throw std::runtime_error(channel_message(
        path, "is " + std::to_string(size) + " bytes, shorter than a channel header"));
  }
  const ReadOnlyMapping mapping{path, file.get(), static_cast<std::size_t>(size)};
  const auto& header =
      *std::launder(reinterpret_cast<const layout::ChannelHeader*>(mapping.bytes()));

  ChannelReport report;
  report.path = path;
  report.capacity = check_header(path, header, size);
  report.read_cursor = header.read_cursor.load(std::memory_order_acquire);
  report.write_cursor = header.write_cursor.load(std::memory_order_acquire);
  if (report.read_cursor > report.write_cursor ||
      report.write_cursor - report.read_cursor > report.capacity ||
      report.read_cursor % layout::kRecordAlign != 0 ||
      report.write_cursor % layout::kRecordAlign != 0) {
    throw std::runtime_error(channel_message(
        path, "cursors contradict each other (read " + std::to_string(report.read_cursor) +
                  ", write " + std::to_string(report.write_cursor) + ")"));
  }
  report.bytes_waiting = report.write_cursor - report.read_cursor;
  const std::byte* ring = mapping.bytes() + layout::kHeaderBytes;
  for (std::uint64_t at = report.read_cursor; at < report.write_cursor;) {
    const RecordView record = view_record(ring, report.capacity, at, report.write_cursor, path);
    if (record.type == layout::RecordType::stream) ++report.streams_waiting;
    at += record.bytes;
  }
  report.sender = attachment(file.get(), kSenderLockByte, header.sender_pid);
  report.reader = attachment(file.get(), kReaderLockByte, header.reader_pid);
  return report;
}

void remove_channel(const std::string& path) {
  const Descriptor file{open_channel_file(path, O_RDWR)};
  // Holding both roles' locks while the file goes keeps anyone from
  // attaching to it in between.
  const std::pair<off_t, const char*> roles[] = {{kSenderLockByte, "a sender"},
                                                 {kReaderLockByte, "a reader"}};
  for (const auto& [byte, who] : roles) {
    if (!try_lock_byte(file.get(), byte)) {
      throw std::runtime_error(
          channel_message(path, std::string{who} + " is attached to it; not removing it"));
    }
  }
  if (::unlink(path.c_str()) != 0) {
    throw std::runtime_error(
        channel_message(path, std::string{"cannot remove it: "} + std::strerror(errno)));
  }
}

}  // namespace telvane
