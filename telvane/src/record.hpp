// Reading one record out of a ring that another process writes. Every field
// is read once and checked against the ring's bounds and the published end
// before anything is used, so a corrupt or hostile channel can never make the
// caller read outside the mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "layout.hpp"

namespace telvane {

struct RecordView {
  layout::RecordType type;
  std::uint64_t bytes;       // the record's share of the ring, aligned
  const std::byte* at;       // its first byte
  std::uint32_t count;       // stream records only
  std::uint32_t text_bytes;  // stream records only
};

// The record at cursor `read` of a ring of `capacity` bytes whose sender has
// published up to cursor `write` (read < write). Throws std::runtime_error
// naming the channel at `path` when the record is corrupt.
RecordView view_record(const std::byte* ring, std::uint64_t capacity, std::uint64_t read,
                       std::uint64_t write, std::string_view path);

}  // namespace telvane
