#include "cursor.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "futex.hpp"

namespace telvane {

namespace {

using layout::RecordType;

// A waiting side spins this long before it sleeps: long enough to catch a
// peer that answers at once, short enough not to matter to the CPU bill.
constexpr auto kSpinTime = std::chrono::microseconds{50};
// A sleeper looks at the cursors again after this long even without a wake,
// so a wake-up that never comes cannot hang it for good.
constexpr auto kSleepTimeout = std::chrono::milliseconds{1000};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Waits until ready() holds: a brief spin, then sleeps on `sleeping`, which
// the other side clears before it wakes the sleeper. ready() loads the other
// side's cursor in sequentially consistent order, and so does the other side
// around its check of `sleeping`: one of the two always sees the other, so no
// wake-up is lost.
template <class Ready, class BeforeSleep>
void wait_until(Ready ready, std::atomic<std::uint32_t>& sleeping,
                BeforeSleep before_sleep) {
  const auto spin_end = std::chrono::steady_clock::now() + kSpinTime;
  for (unsigned round = 1;; ++round) {
    if (ready()) return;
    cpu_relax();
    if (round % 64 == 0 && std::chrono::steady_clock::now() >= spin_end) break;
  }
  before_sleep();
  for (;;) {
    sleeping.store(1, std::memory_order_seq_cst);
    if (ready()) break;
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

std::string cursors_message(const Channel& channel, std::uint64_t read,
                            std::uint64_t write) {
  return channel.message("cursors contradict each other (read " + std::to_string(read) +
                         ", write " + std::to_string(write) + ", capacity " +
                         std::to_string(channel.capacity()) + ")");
}

bool cursors_sound(std::uint64_t read, std::uint64_t write, std::uint64_t capacity) {
  return read <= write && write - read <= capacity &&
         read % layout::kRecordAlign == 0 && write % layout::kRecordAlign == 0;
}

}  // namespace

StreamWriter::StreamWriter(Channel& channel)
    : channel_(channel),
      write_(channel.header().write_cursor.load(std::memory_order_acquire)),
      cached_read_(load_read_cursor()) {}

std::uint64_t StreamWriter::load_read_cursor() const {
  const std::uint64_t read =
      channel_.header().read_cursor.load(std::memory_order_seq_cst);
  if (!cursors_sound(read, write_, channel_.capacity())) {
    throw std::runtime_error(cursors_message(channel_, read, write_));
  }
  return read;
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
  if (data.size() > layout::kMaxCount || text.size() > layout::kMaxTextBytes ||
      bytes > capacity) {
    throw std::runtime_error(channel_.message(
        "a stream of " + std::to_string(data.size()) + " values and " +
        std::to_string(text.size()) + " text bytes does not fit its capacity of " +
        std::to_string(capacity) + " bytes"));
  }
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
    std::memcpy(record + layout::kDataOffset + data.size_bytes(), text.data(),
                text.size());
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
  const std::uint64_t write =
      channel_.header().write_cursor.load(std::memory_order_seq_cst);
  if (!cursors_sound(read_, write, channel_.capacity())) {
    throw std::runtime_error(cursors_message(channel_, read_, write));
  }
  return write;
}

void StreamReader::release(std::uint64_t bytes) {
  read_ += bytes;
  layout::ChannelHeader& header = channel_.header();
  header.read_cursor.store(read_, std::memory_order_seq_cst);
  wake(header.sender_sleeping);
}

Stream StreamReader::next() {
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
      if (!refreshed()) wait_until(refreshed, channel_.header().reader_sleeping, [] {});
    }

    // Everything below reads fields once into locals and checks them before
    // use: the mapping is shared with another process and is not trusted.
    const std::uint64_t available = cached_write_ - read_;
    const std::uint64_t offset = read_ & (capacity - 1);
    const std::byte* record = channel_.ring() + offset;
    const auto length = get<std::uint32_t>(record + layout::kLengthOffset);
    const auto type = get<std::uint32_t>(record + layout::kTypeOffset);
    const std::uint64_t bytes = layout::align_up(length);
    const auto corrupt = [&](const std::string& cause) {
      return std::runtime_error(channel_.message(
          "corrupt record at cursor " + std::to_string(read_) + ": " + cause));
    };
    if (length < layout::kRecordHeaderBytes || length > capacity - offset ||
        bytes > available) {
      throw corrupt("its length of " + std::to_string(length) +
                    " bytes runs past the published data or the ring");
    }
    if (type == static_cast<std::uint32_t>(RecordType::padding)) {
      release(bytes);
      continue;
    }
    if (type != static_cast<std::uint32_t>(RecordType::stream)) {
      throw corrupt("unknown record type " + std::to_string(type));
    }
    if (length < layout::kDataOffset) {
      throw corrupt("a stream record of " + std::to_string(length) + " bytes is too short");
    }
    const auto count = get<std::uint32_t>(record + layout::kCountOffset);
    const auto text_bytes = get<std::uint32_t>(record + layout::kTextLengthOffset);
    if (count > layout::kMaxCount || text_bytes > layout::kMaxTextBytes ||
        layout::stream_record_length(count, text_bytes) != length) {
      throw corrupt(std::to_string(count) + " values and " + std::to_string(text_bytes) +
                    " text bytes do not fit its length of " + std::to_string(length) +
                    " bytes");
    }

    Stream stream;
    stream.id = get<std::int32_t>(record + layout::kIdOffset);
    stream.value = get<double>(record + layout::kValueOffset);
    stream.data.resize(count);
    if (count != 0) {
      std::memcpy(stream.data.data(), record + layout::kDataOffset,
                  count * sizeof(double));
    }
    const auto* text =
        reinterpret_cast<const char*>(record + layout::kDataOffset + count * sizeof(double));
    stream.text.assign(text, text_bytes);
    held_ = bytes;
    return stream;
  }
}

}  // namespace telvane
