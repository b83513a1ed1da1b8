// Arbitrary bytes as a channel file: the checks on open, the reader's walk
// over the records and the inspector must refuse what is unsound and never
// read outside the mapping.
//
// The first byte chooses the form: 0 takes the rest as the whole file, so
// the header checks are tried; any other value makes a sound header with a
// small capacity and takes the rest as cursors and ring, so the record checks
// are reached.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "channel.hpp"
#include "cursor.hpp"
#include "inspect.hpp"
#include "layout.hpp"

namespace {

std::vector<std::uint8_t> channel_file(const std::uint8_t* data, std::size_t size) {
  if (data[0] == 0) return {data + 1, data + size};
  const std::uint64_t capacity = data[0] % 2 == 0 ? 256 : 512;
  std::vector<std::uint8_t> file(telvane::layout::kHeaderBytes + capacity, 0);
  auto& header = *reinterpret_cast<telvane::layout::ChannelHeader*>(file.data());
  header.magic = telvane::layout::kMagic;
  header.version = telvane::layout::kVersion;
  header.header_bytes = telvane::layout::kHeaderBytes;
  header.capacity = capacity;
  std::size_t at = 1;
  const auto take_cursor = [&] {
    std::uint16_t value = 0;  // small cursors, mostly within a few wraps
    if (at + sizeof value <= size) std::memcpy(&value, data + at, sizeof value);
    at += sizeof value;
    return std::uint64_t{value} & ~std::uint64_t{7} & 0x7ff;
  };
  const std::uint64_t read = take_cursor();
  const std::uint64_t write = read + take_cursor() % (capacity + 16);
  header.read_cursor.store(read);
  header.write_cursor.store(write);
  if (at < size) {
    std::memcpy(file.data() + telvane::layout::kHeaderBytes, data + at,
                std::min<std::size_t>(size - at, capacity));
  }
  return file;
}

const std::string& scratch_path() {
  static const std::string path = [] {
    char pattern[] = "/tmp/telvane-fuzz-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) std::abort();
    ::close(fd);
    return std::string{pattern};
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::vector<std::uint8_t> file = channel_file(data, size);
  const std::string& path = scratch_path();
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || ::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
      std::abort();
    }
    ::close(fd);
  }
  try {
    const telvane::ChannelReport report = telvane::inspect_channel(path);
    if (report.bytes_waiting > report.capacity) std::abort();
  } catch (const std::runtime_error&) {
  }
  try {
    const auto channel = telvane::Channel::open(path, telvane::Role::reader);
    telvane::StreamReader reader{*channel};
    for (int i = 0; i < 64; ++i) {
      const auto stream = reader.try_next();
      if (!stream) break;
      if (stream->data.size() > telvane::layout::kMaxCount) std::abort();
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
