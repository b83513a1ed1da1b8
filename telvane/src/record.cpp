#include "record.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

#include "channel.hpp"

namespace telvane {

namespace {

template <class T>
T get(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace

RecordView view_record(const std::byte* ring, std::uint64_t capacity, std::uint64_t read,
                       std::uint64_t write, std::string_view path) {
  const auto corrupt = [&](const std::string& cause) {
    return std::runtime_error(
        channel_message(path, "corrupt record at cursor " + std::to_string(read) + ": " + cause));
  };
  const std::uint64_t available = write - read;
  const std::uint64_t offset = read & (capacity - 1);
  RecordView record{};
  record.at = ring + offset;
  const auto length = get<std::uint32_t>(record.at + layout::kLengthOffset);
  const auto type = get<std::uint32_t>(record.at + layout::kTypeOffset);
  record.bytes = layout::align_up(length);
  if (length < layout::kRecordHeaderBytes || length > capacity - offset ||
      record.bytes > available) {
    throw corrupt("its length of " + std::to_string(length) +
                  " bytes runs past the published data or the ring");
  }
  if (type == static_cast<std::uint32_t>(layout::RecordType::padding)) {
    record.type = layout::RecordType::padding;
    return record;
  }
  if (type != static_cast<std::uint32_t>(layout::RecordType::stream)) {
    throw corrupt("unknown record type " + std::to_string(type));
  }
  if (length < layout::kDataOffset) {
    throw corrupt("a stream record of " + std::to_string(length) + " bytes is too short");
  }
  record.type = layout::RecordType::stream;
  record.count = get<std::uint32_t>(record.at + layout::kCountOffset);
  record.text_bytes = get<std::uint32_t>(record.at + layout::kTextLengthOffset);
  if (record.count > layout::kMaxCount || record.text_bytes > layout::kMaxTextBytes ||
      layout::stream_record_length(record.count, record.text_bytes) != length) {
    throw corrupt(std::to_string(record.count) + " values and " +
                  std::to_string(record.text_bytes) + " text bytes do not fit its length of " +
                  std::to_string(length) + " bytes");
  }
  return record;
}

}  // namespace telvane
