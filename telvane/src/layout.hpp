// The memory layout of a channel file, stated once.
//
//   offset 0                 ChannelHeader (kHeaderBytes), four cache lines:
//     line 0  identity, written once when the channel is made, and the
//             process ids of the attached sender and reader
//     line 1  write cursor, stored by the sender only
//     line 2  read cursor, stored by the reader only
//     line 3  the two futex words on which a side sleeps
//   offset kHeaderBytes      the ring: capacity bytes, a power of two
//
// Both cursors count bytes since the channel was made and never wrap; a
// cursor's place in the ring is cursor & (capacity - 1). The ring holds
// records back to back, each starting on a kRecordAlign boundary:
//
//   RecordHeader   length (bytes of header and body, before alignment), type
//   StreamBody     id, count, text length, value bits          (kStreamBodyBytes)
//   data           count 64-bit reals
//   text           text-length bytes, no terminator
//
// A record never wraps: when it does not fit before the end of the ring, the
// sender fills the rest with one padding record and starts again at offset 0.
// A record becomes visible to the reader only when the sender stores the write
// cursor past it (release); the reader frees it by storing the read cursor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace telvane::layout {

inline constexpr std::uint64_t kMagic = 0x314c4e4e48435654;  // "TVCHNNL1"
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kCacheLine = 64;

inline constexpr std::uint64_t kMinCapacity = 256;
inline constexpr std::uint64_t kMaxCapacity = std::uint64_t{1} << 30;
// 1 MiB holds about 8,700 ten-value streams, enough to keep a sender going
// for a while without a reader, while a busy ring stays within the caches.
inline constexpr std::uint64_t kDefaultCapacity = std::uint64_t{1} << 20;

struct ChannelHeader {
  // Line 0: identity and attachments.
  std::uint64_t magic;
  std::uint32_t version;
  std::uint32_t header_bytes;
  std::uint64_t capacity;
  std::atomic<std::int32_t> sender_pid;
  std::atomic<std::int32_t> reader_pid;

  // Line 1: the sender's cursor.
  alignas(kCacheLine) std::atomic<std::uint64_t> write_cursor;

  // Line 2: the reader's cursor.
  alignas(kCacheLine) std::atomic<std::uint64_t> read_cursor;

  // Line 3: a side sets its word to 1 before it sleeps on it; the other side
  // clears it and wakes the sleeper. Futexes take 32-bit words.
  alignas(kCacheLine) std::atomic<std::uint32_t> reader_sleeping;
  std::atomic<std::uint32_t> sender_sleeping;
};

inline constexpr std::size_t kHeaderBytes = 4 * kCacheLine;

static_assert(offsetof(ChannelHeader, magic) == 0);
static_assert(offsetof(ChannelHeader, version) == 8);
static_assert(offsetof(ChannelHeader, header_bytes) == 12);
static_assert(offsetof(ChannelHeader, capacity) == 16);
static_assert(offsetof(ChannelHeader, sender_pid) == 24);
static_assert(offsetof(ChannelHeader, reader_pid) == 28);
static_assert(offsetof(ChannelHeader, write_cursor) == 1 * kCacheLine);
static_assert(offsetof(ChannelHeader, read_cursor) == 2 * kCacheLine);
static_assert(offsetof(ChannelHeader, reader_sleeping) == 3 * kCacheLine);
static_assert(offsetof(ChannelHeader, sender_sleeping) == 3 * kCacheLine + 4);
static_assert(sizeof(ChannelHeader) == kHeaderBytes);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint64_t>) == 8);
static_assert(sizeof(std::atomic<std::uint32_t>) == 4);

enum class RecordType : std::uint32_t { padding = 1, stream = 2 };

inline constexpr std::size_t kRecordAlign = 8;

// Offsets from the start of a record.
inline constexpr std::size_t kLengthOffset = 0;
inline constexpr std::size_t kTypeOffset = 4;
inline constexpr std::size_t kRecordHeaderBytes = 8;
inline constexpr std::size_t kIdOffset = 8;
inline constexpr std::size_t kCountOffset = 12;
inline constexpr std::size_t kTextLengthOffset = 16;
inline constexpr std::size_t kReservedOffset = 20;  // zero; aligns the value
inline constexpr std::size_t kValueOffset = 24;
inline constexpr std::size_t kDataOffset = 32;
inline constexpr std::size_t kStreamBodyBytes = kDataOffset - kRecordHeaderBytes;

// Limits of one stream, so that the largest record fits the default ring.
inline constexpr std::uint32_t kMaxCount = 65536;
inline constexpr std::uint32_t kMaxTextBytes = 65536;

constexpr std::uint64_t align_up(std::uint64_t n) {
  return (n + kRecordAlign - 1) & ~std::uint64_t{kRecordAlign - 1};
}

constexpr std::uint64_t stream_record_length(std::uint64_t count, std::uint64_t text_bytes) {
  return kDataOffset + count * sizeof(double) + text_bytes;
}

static_assert(align_up(stream_record_length(kMaxCount, kMaxTextBytes)) <= kDefaultCapacity);

}  // namespace telvane::layout
