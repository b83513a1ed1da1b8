#include "cursor.hpp"

#include <sched.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "futex.hpp"
#include "record.hpp"

namespace telvane {

namespace {

using layout::RecordType;

// A waiting side spins this long before it sleeps: long enough to catch a
// peer that answers at once, short enough not to matter to the CPU bill.
constexpr auto kSpinTime = std::chrono::microseconds{50};
// For the first part of the spin it only polls; after that it yields the CPU
// between polls. The scheduler tends to wake a sleeping peer on the CPU of
// the process that woke it, and a side that polled without yielding would
// keep that peer off the CPU until the spin ran out.
constexpr auto kPollTime = std::chrono::microseconds{5};
// A sleeper looks at the cursors again after this long even without a wake,
// so a wake-up that never comes cannot hang it for good.
constexpr auto kSleepTimeout = std::chrono::milliseconds{1000};
// How often a busy sender makes sure its path still leads to its channel: a
// stat costs about a microsecond, too much for every stream.
constexpr auto kLinkCheckInterval = std::chrono::milliseconds{100};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Waits until ready() holds: a brief spin, then sleeps on `sleeping`, which
// the other side clears before it wakes the sleeper; on_sleep() runs before
// every sleep. ready() loads the other side's cursor in sequentially
// consistent order, and so does the other side around its check of
// `sleeping`: one of the two always sees the other, so no wake-up is lost.
template <class Ready, class OnSleep>
void wait_until(Ready ready, std::atomic<std::uint32_t>& sleeping, OnSleep on_sleep) {
  const auto start = std::chrono::steady_clock::now();
  for (unsigned round = 1;; ++round) {
    if (ready()) return;
    cpu_relax();
    if (round % 16 == 0 && std::chrono::steady_clock::now() - start >= kPollTime) break;
  }
  while (std::chrono::steady_clock::now() - start < kSpinTime) {
    if (ready()) return;
    ::sched_yield();
  }
  for (;;) {
    sleeping.store(1, std::memory_order_seq_cst);
    if (ready()) break;
    on_sleep();
    futex_wait(sleeping, 1, kSleepTimeout);
  }
  sleeping.store(0, std::memory_order_relaxed);
}

// Wakes the other side if it sleeps. The plain load keeps the common case,
// a peer that is awake, to one read of a line that rarely changes.
void wake(std::atomic<std::uint32_t>& sleeping) {
  if (sleeping.load(std::memory_order_seq_cst) != 0 &&
      sleeping.exchange(0, std::memory_order_seq_cst) != 0) {
    futex_wake_all(sleeping);
  }
}

template <class T>
T get(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <class T>
void put(std::byte* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

std::string cursors_message(const Channel& channel, std::uint64_t read, std::uint64_t write) {
  return channel.message("cursors contradict each other (read " + std::to_string(read) +
                         ", write " + std::to_string(write) + ", capacity " +
                         std::to_string(channel.capacity()) + ")");
}

bool cursors_sound(std::uint64_t read, std::uint64_t write, std::uint64_t capacity) {
  return read <= write && write - read <= capacity && read % layout::kRecordAlign == 0 &&
         write % layout::kRecordAlign == 0;
}

}  // namespace

StreamWriter::StreamWriter(Channel& channel)
    : channel_(channel),
      write_(channel.header().write_cursor.load(std::memory_order_acquire)),
      cached_read_(load_read_cursor()) {}

std::uint64_t StreamWriter::load_read_cursor() const {
  const std::uint64_t read = channel_.header().read_cursor.load(std::memory_order_seq_cst);
  if (!cursors_sound(read, write_, channel_.capacity())) {
    throw std::runtime_error(cursors_message(channel_, read, write_));
  }
  return read;
}

void StreamWriter::check_link_now_and_then() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  const auto at = std::chrono::seconds{now.tv_sec} + std::chrono::nanoseconds{now.tv_nsec};
  if (at < next_link_check_) return;
  channel_.check_still_linked();
  next_link_check_ = at + kLinkCheckInterval;
}

void StreamWriter::wait_for_room(std::uint64_t bytes) {
  const std::uint64_t capacity = channel_.capacity();
  const auto has_room = [&] { return capacity - (write_ - cached_read_) >= bytes; };
  if (has_room()) return;
  const auto refreshed = [&] {
    cached_read_ = load_read_cursor();
    return has_room();
  };
  if (refreshed()) return;
  wait_until(refreshed, channel_.header().sender_sleeping, [&] {
    channel_.check_still_linked();
    if (told_waiting_) return;
    told_waiting_ = true;
    std::fprintf(stderr, "%s\n",
                 channel_.message("is full; waiting for a reader to make room").c_str());
  });
}

void StreamWriter::write(std::int32_t id, std::string_view text, double value,
                         std::span<const double> data) {
  const std::uint64_t capacity = channel_.capacity();
  const std::uint64_t length = layout::stream_record_length(data.size(), text.size());
  const std::uint64_t bytes = layout::align_up(length);
  if (data.size() > layout::kMaxCount || text.size() > layout::kMaxTextBytes || bytes > capacity) {
    throw std::invalid_argument(channel_.message("a stream of " + std::to_string(data.size()) +
                                                 " values and " + std::to_string(text.size()) +
                                                 " text bytes does not fit its capacity of " +
                                                 std::to_string(capacity) + " bytes"));
  }
  check_link_now_and_then();
  const std::uint64_t offset = write_ & (capacity - 1);
  const std::uint64_t to_end = capacity - offset;
  const std::uint64_t padding = bytes > to_end ? to_end : 0;
  wait_for_room(padding + bytes);

  std::byte* record = channel_.ring() + offset;
  if (padding != 0) {
    put(record + layout::kLengthOffset, static_cast<std::uint32_t>(padding));
    put(record + layout::kTypeOffset, RecordType::padding);
    record = channel_.ring();
  }
  put(record + layout::kLengthOffset, static_cast<std::uint32_t>(length));
  put(record + layout::kTypeOffset, RecordType::stream);
  put(record + layout::kIdOffset, id);
  put(record + layout::kCountOffset, static_cast<std::uint32_t>(data.size()));
  put(record + layout::kTextLengthOffset, static_cast<std::uint32_t>(text.size()));
  put(record + layout::kReservedOffset, std::uint32_t{0});
  put(record + layout::kValueOffset, value);
  if (!data.empty()) {
    std::memcpy(record + layout::kDataOffset, data.data(), data.size_bytes());
  }
  if (!text.empty()) {
    std::memcpy(record + layout::kDataOffset + data.size_bytes(), text.data(), text.size());
  }

  write_ += padding + bytes;
  layout::ChannelHeader& header = channel_.header();
  header.write_cursor.store(write_, std::memory_order_seq_cst);
  wake(header.reader_sleeping);
}

StreamReader::StreamReader(Channel& channel)
    : channel_(channel),
      read_(channel.header().read_cursor.load(std::memory_order_acquire)),
      cached_write_(load_write_cursor()) {}

std::uint64_t StreamReader::load_write_cursor() const {
  const std::uint64_t write = channel_.header().write_cursor.load(std::memory_order_seq_cst);
  if (!cursors_sound(read_, write, channel_.capacity())) {
    throw std::runtime_error(cursors_message(channel_, read_, write));
  }
  return write;
}

void StreamReader::release(std::uint64_t bytes) {
  read_ += bytes;
  layout::ChannelHeader& header = channel_.header();
  header.read_cursor.store(read_, std::memory_order_seq_cst);
  // A sender asleep on a full ring is woken only once half the ring is free
  // (or all of it, for a record larger than half): waking it for every
  // record freed would cost both sides a system call per stream. The cached
  // write cursor can only overstate the free room, so no due wake is missed.
  const std::uint64_t capacity = channel_.capacity();
  if (capacity - (cached_write_ - read_) >= capacity / 2 || read_ == cached_write_) {
    wake(header.sender_sleeping);
  }
}

Stream StreamReader::next() { return *take(true); }

std::optional<Stream> StreamReader::try_next() { return take(false); }

std::optional<Stream> StreamReader::take(bool wait) {
  if (held_ != 0) {
    release(held_);
    held_ = 0;
  }
  const std::uint64_t capacity = channel_.capacity();
  for (;;) {
    if (cached_write_ == read_) {
      const auto refreshed = [&] {
        cached_write_ = load_write_cursor();
        return cached_write_ != read_;
      };
      if (!refreshed()) {
        if (!wait) return std::nullopt;
        wait_until(refreshed, channel_.header().reader_sleeping,
                   [&] { channel_.check_still_linked(); });
      }
    }

    const RecordView record =
        view_record(channel_.ring(), capacity, read_, cached_write_, channel_.path());
    if (record.type == RecordType::padding) {
      release(record.bytes);
      continue;
    }
    Stream stream;
    stream.id = get<std::int32_t>(record.at + layout::kIdOffset);
    stream.value = get<double>(record.at + layout::kValueOffset);
    stream.data.resize(record.count);
    if (record.count != 0) {
      std::memcpy(stream.data.data(), record.at + layout::kDataOffset,
                  record.count * sizeof(double));
    }
    const auto* text = reinterpret_cast<const char*>(record.at + layout::kDataOffset +
                                                     record.count * sizeof(double));
    stream.text.assign(text, record.text_bytes);
    held_ = record.bytes;
    return stream;
  }
}

}  // namespace telvane
