// The channel: records through the ring, a full ring, two processes, and
// the files and records it must refuse.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "channel.hpp"
#include "cursor.hpp"
#include "support/scratch_dir.hpp"
#include "support/streams.hpp"

namespace telvane {
namespace {

using testing::same_stream;
using testing::sample_stream;
using testing::ScratchDir;

void write_stream(StreamWriter& writer, const Stream& stream) {
  writer.write(stream.id, stream.text, stream.value, stream.data);
}

// Writer and reader over one mapping, in two threads, so that the thread
// sanitizer sees every access the two ends make to the shared memory.
TEST(Ring, RecordsOfVaryingSizeSurviveManyWraps) {
  ScratchDir dir;
  const auto channel = Channel::open(dir.file("ring"), Role::sender, 512);
  constexpr std::uint32_t kStreams = 3000;  // about 250 wraps of the ring
  std::thread sender([&] {
    StreamWriter writer{*channel};
    for (std::uint32_t i = 0; i < kStreams; ++i) write_stream(writer, sample_stream(i));
  });
  StreamReader reader{*channel};
  for (std::uint32_t i = 0; i < kStreams; ++i) {
    const Stream got = reader.next();
    ASSERT_TRUE(same_stream(sample_stream(i), got)) << "stream " << i;
  }
  sender.join();
}

TEST(Ring, FullChannelBlocksTheWriterUntilTheReaderDrains) {
  ScratchDir dir;
  // A ten-value stream with a five-byte text takes 120 bytes: four fit in 512.
  const auto channel = Channel::open(dir.file("full"), Role::sender, 512);
  const double values[10] = {0, 1, 1, 2, 3, 5, 8, 13, 21, 34};
  constexpr int kStreams = 40;
  std::atomic<int> written{0};
  ::testing::internal::CaptureStderr();
  std::thread sender([&] {
    StreamWriter writer{*channel};
    for (int i = 0; i < kStreams; ++i) {
      writer.write(i, "today", 0.1, values);
      written.fetch_add(1);
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{5};
  while (written.load() < 4 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds{1});
  }
  std::this_thread::sleep_for(std::chrono::milliseconds{200});
  EXPECT_EQ(written.load(), 4) << "the writer must stop when the ring is full";

  StreamReader reader{*channel};
  for (int i = 0; i < kStreams; ++i) {
    const Stream got = reader.next();
    ASSERT_EQ(got.id, i);
    ASSERT_EQ(got.text, "today");
    ASSERT_EQ(std::vector<double>(std::begin(values), std::end(values)), got.data);
  }
  sender.join();
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string notice = "is full; waiting for a reader";
  EXPECT_NE(err.find(notice), std::string::npos) << err;
  EXPECT_EQ(err.find(notice), err.rfind(notice)) << "the notice comes once: " << err;
}

TEST(Ring, StreamTooLargeForTheRingIsRefusedAndNothingIsPublished) {
  ScratchDir dir;
  const auto channel = Channel::open(dir.file("small"), Role::sender, 256);
  StreamWriter writer{*channel};
  const std::vector<double> values(40, 1.0);  // 32 + 320 bytes > 256
  EXPECT_THROW(writer.write(1, "x", 0.0, values), std::invalid_argument);
  EXPECT_EQ(channel->header().write_cursor.load(), 0u);
  writer.write(2, "fits", 0.0, std::span<const double>{values.data(), 10});
  StreamReader reader{*channel};
  EXPECT_EQ(reader.next().id, 2);
}

TEST(Ring, ReaderGetsTheStreamInHandAgainAfterARestart) {
  ScratchDir dir;
  const auto channel = Channel::open(dir.file("again"), Role::sender);
  StreamWriter writer{*channel};
  for (std::uint32_t i = 0; i < 3; ++i) write_stream(writer, sample_stream(i));
  {
    StreamReader reader{*channel};
    EXPECT_TRUE(same_stream(sample_stream(0), reader.next()));
    EXPECT_TRUE(same_stream(sample_stream(1), reader.next()));
  }  // dies holding stream 1
  StreamReader restarted{*channel};
  EXPECT_TRUE(same_stream(sample_stream(1), restarted.next()));
  EXPECT_TRUE(same_stream(sample_stream(2), restarted.next()));
}

// A process whose channel file is removed or replaced under it must not go
// on with a file that nobody else can reach any more.
TEST(LostFile, AWaitingReaderAndASendingWriterNoticeIt) {
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced" : "removed");
    ScratchDir dir;
    const std::string path = dir.file("lost");
    const auto channel = Channel::open(path, Role::sender);
    StreamWriter writer{*channel};
    StreamReader reader{*channel};
    writer.write(1, "before", 0.0, {});
    EXPECT_EQ(reader.next().id, 1);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    if (replaced) Channel::open(path, Role::sender);
    const std::string lost =
        "telvane: channel " + path + ": its file was removed or replaced while attached";
    try {
      reader.next();
      ADD_FAILURE() << "the reader went on waiting";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), lost);
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds{150});  // past the sender's check interval
    try {
      writer.write(2, "after", 0.0, {});
      ADD_FAILURE() << "the writer went on writing";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), lost);
    }
  }
}

// --- two processes -------------------------------------------------------

constexpr std::uint32_t kCrossStreams = 2000;  // under 500 KB of records

pid_t fork_sender(const std::string& path, std::uint64_t capacity) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  try {
    const auto channel = Channel::open(path, Role::sender, capacity);
    StreamWriter writer{*channel};
    for (std::uint32_t i = 0; i < kCrossStreams; ++i) write_stream(writer, sample_stream(i));
    ::_exit(0);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    ::_exit(1);
  }
}

int wait_status(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void expect_every_stream(Channel& channel) {
  StreamReader reader{channel};
  for (std::uint32_t i = 0; i < kCrossStreams; ++i) {
    ASSERT_TRUE(same_stream(sample_stream(i), reader.next())) << "stream " << i;
  }
}

enum class Order { reader_first, sender_first, reader_after_sender_exited };

void PrintTo(Order order, std::ostream* out) {
  *out << (order == Order::reader_first   ? "reader_first"
           : order == Order::sender_first ? "sender_first"
                                          : "reader_after_sender_exited");
}

class TwoProcesses : public ::testing::TestWithParam<Order> {};

TEST_P(TwoProcesses, EveryStreamArrivesWholeAndInOrder) {
  ScratchDir dir;
  const std::string path = dir.file("cross");
  // A small ring makes the sender wait for the reader many times over.
  constexpr std::uint64_t kSmallRing = 4096;
  switch (GetParam()) {
    case Order::reader_first: {
      const auto channel = Channel::open(path, Role::reader, kSmallRing);
      const pid_t sender = fork_sender(path, kSmallRing);
      expect_every_stream(*channel);
      EXPECT_EQ(wait_status(sender), 0);
      break;
    }
    case Order::sender_first: {
      const pid_t sender = fork_sender(path, kSmallRing);
      std::this_thread::sleep_for(std::chrono::milliseconds{100});
      expect_every_stream(*Channel::open(path, Role::reader, kSmallRing));
      EXPECT_EQ(wait_status(sender), 0);
      break;
    }
    case Order::reader_after_sender_exited:
      // The default ring holds the whole run, so the sender ends unread.
      ASSERT_EQ(wait_status(fork_sender(path, layout::kDefaultCapacity)), 0);
      expect_every_stream(*Channel::open(path, Role::reader));
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, TwoProcesses,
                         ::testing::Values(Order::reader_first, Order::sender_first,
                                           Order::reader_after_sender_exited));

// Two processes that open a new channel at the same instant: one makes it,
// the other waits for the header, and the stream gets through.
TEST(TwoProcessesRace, SimultaneousStartNeverSeesAHalfMadeChannel) {
  ScratchDir dir;
  for (int round = 0; round < 30; ++round) {
    const std::string path = dir.file("race" + std::to_string(round));
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const auto start = [&](Role role) {
      const pid_t pid = ::fork();
      if (pid != 0) return pid;
      ::close(go[1]);
      char byte;
      if (::read(go[0], &byte, 1) != 0) ::_exit(2);  // released when the pipe closes
      try {
        const auto channel = Channel::open(path, role, 4096);
        if (role == Role::sender) {
          StreamWriter{*channel}.write(round, "race", 0.5, {});
        } else {
          const Stream got = StreamReader{*channel}.next();
          ::_exit(got.id == round && got.text == "race" ? 0 : 3);
        }
        ::_exit(0);
      } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        ::_exit(1);
      }
    };
    const pid_t sender = start(Role::sender);
    const pid_t reader = start(Role::reader);
    ::close(go[0]);
    ::close(go[1]);
    EXPECT_EQ(wait_status(sender), 0) << "round " << round;
    EXPECT_EQ(wait_status(reader), 0) << "round " << round;
  }
}

// --- refusals ------------------------------------------------------------

void write_at(const std::string& path, off_t offset, const void* bytes, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes, size, offset), static_cast<ssize_t>(size));
  ::close(fd);
}

template <class T>
void put_at(const std::string& path, off_t offset, T value) {
  write_at(path, offset, &value, sizeof value);
}

// A sound channel of 4096 bytes with one ten-value stream in it.
void make_channel_with_one_stream(const std::string& path) {
  const auto channel = Channel::open(path, Role::sender, 4096);
  const double values[10] = {};
  StreamWriter{*channel}.write(7, "today", 0.1, values);
}

constexpr off_t kRecord = layout::kHeaderBytes;  // the first record's offset

// A sound channel with one stream, then one field overwritten.
template <class T>
std::function<void(const std::string&)> with_field(off_t offset, T value) {
  return [=](const std::string& path) {
    make_channel_with_one_stream(path);
    put_at<T>(path, offset, value);
  };
}

enum class Stage { open, read };

struct Refusal {
  const char* name;
  std::function<void(const std::string& path)> prepare;
  Stage stage;
  const char* cause;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, WithAClearErrorNamingTheChannel) {
  const Refusal& refusal = GetParam();
  ScratchDir dir;
  const std::string path = dir.file("hostile");
  refusal.prepare(path);
  std::string message;
  try {
    const auto channel = Channel::open(path, Role::reader);
    StreamReader reader{*channel};
    ASSERT_EQ(refusal.stage, Stage::read) << "opened a channel that should be refused";
    reader.next();
    FAIL() << "read a record that should be refused";
  } catch (const std::runtime_error& error) {
    message = error.what();
  }
  EXPECT_EQ(message.rfind("telvane: channel " + path + ": ", 0), 0u) << message;
  EXPECT_NE(message.find(refusal.cause), std::string::npos) << message;
}

const Refusal kRefusals[] = {
    {"symbolic_link",
     [](const std::string& path) {
       make_channel_with_one_stream(path + ".real");
       ASSERT_EQ(::symlink((path + ".real").c_str(), path.c_str()), 0);
     },
     Stage::open, "symbolic link"},
    {"writable_by_group",
     [](const std::string& path) {
       make_channel_with_one_stream(path);
       ASSERT_EQ(::chmod(path.c_str(), 0620), 0);
     },
     Stage::open, "writable by group or others"},
    {"not_a_regular_file",
     [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, Stage::open,
     "is not a regular file"},
    {"shorter_than_a_header",
     [](const std::string& path) {
       make_channel_with_one_stream(path);
       ASSERT_EQ(::truncate(path.c_str(), 100), 0);
     },
     Stage::open, "shorter than a channel header"},
    {"truncated_ring",
     [](const std::string& path) {
       make_channel_with_one_stream(path);
       ASSERT_EQ(::truncate(path.c_str(), layout::kHeaderBytes + 1000), 0);
     },
     Stage::open, "but its header says"},
    {"wrong_magic", with_field<std::uint64_t>(offsetof(layout::ChannelHeader, magic), 0x1234),
     Stage::open, "wrong magic number"},
    {"wrong_version", with_field<std::uint32_t>(offsetof(layout::ChannelHeader, version), 99),
     Stage::open, "has version 99"},
    {"capacity_not_a_power_of_two",
     with_field<std::uint64_t>(offsetof(layout::ChannelHeader, capacity), 3000), Stage::open,
     "bad capacity"},
    {"capacity_larger_than_the_file",
     with_field<std::uint64_t>(offsetof(layout::ChannelHeader, capacity), 1 << 20), Stage::open,
     "but its header says"},
    {"read_cursor_past_write_cursor",
     with_field<std::uint64_t>(offsetof(layout::ChannelHeader, read_cursor), 4096), Stage::open,
     "cursors contradict each other"},
    {"write_cursor_more_than_a_capacity_ahead",
     with_field<std::uint64_t>(offsetof(layout::ChannelHeader, write_cursor), 4096 + 8),
     Stage::open, "cursors contradict each other"},
    {"record_length_past_the_published_data",
     with_field<std::uint32_t>(kRecord + layout::kLengthOffset, 4000), Stage::read, "runs past"},
    {"record_length_past_the_end_of_the_ring",
     [](const std::string& path) {
       make_channel_with_one_stream(path);
       put_at<std::uint64_t>(path, offsetof(layout::ChannelHeader, write_cursor), 4096);
       put_at<std::uint32_t>(path, kRecord + layout::kLengthOffset, 0xfffffff8);
     },
     Stage::read, "runs past"},
    {"record_length_below_a_record_header",
     with_field<std::uint32_t>(kRecord + layout::kLengthOffset, 4), Stage::read, "runs past"},
    {"count_that_does_not_fit_the_length",
     with_field<std::uint32_t>(kRecord + layout::kCountOffset, 60000), Stage::read,
     "do not fit its length"},
    {"text_length_that_does_not_fit_the_length",
     with_field<std::uint32_t>(kRecord + layout::kTextLengthOffset, 0xffffffff), Stage::read,
     "do not fit its length"},
    {"unknown_record_type", with_field<std::uint32_t>(kRecord + layout::kTypeOffset, 77),
     Stage::read, "unknown record type 77"},
};

INSTANTIATE_TEST_SUITE_P(HostileChannels, Refused, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string{info.param.name}; });

TEST(RefusedOwner, AFileOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  ScratchDir dir;
  const std::string path = dir.file("foreign");
  make_channel_with_one_stream(path);
  ASSERT_EQ(::chown(path.c_str(), 4242, 4242), 0);
  try {
    Channel::open(path, Role::reader);
    FAIL() << "opened another user's channel";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string{error.what()}.find("belongs to user 4242"), std::string::npos)
        << error.what();
  }
}

TEST(RefusedRole, ASecondSenderOrReaderWhileTheFirstIsAttached) {
  ScratchDir dir;
  const std::string path = dir.file("busy");
  for (const Role role : {Role::sender, Role::reader}) {
    const auto first = Channel::open(path, role);
    try {
      Channel::open(path, role);
      FAIL() << "a second one was let in";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string{error.what()}, "telvane: channel " + path + ": another " +
                                               (role == Role::sender ? "sender" : "reader") +
                                               " is attached to it");
    }
  }
  // Once the first is gone, the role is free again.
  EXPECT_NO_THROW(Channel::open(path, Role::sender));
}

TEST(MadeChannel, IsPrivateToItsUserAndKeepsTheCapacityItWasMadeWith) {
  ScratchDir dir;
  const std::string path = dir.file("made");
  { Channel::open(path, Role::sender, 8192); }
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(status.st_size, static_cast<off_t>(layout::kHeaderBytes + 8192));
  EXPECT_EQ(Channel::open(path, Role::reader)->capacity(), 8192u);
}

TEST(MadeChannel, AHalfMadeFileIsMadeAfresh) {
  ScratchDir dir;
  const std::string path = dir.file("half");
  // What a maker that died before writing the header leaves behind.
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 5000), 0);
  ::close(fd);
  const auto channel = Channel::open(path, Role::sender, 1024);
  EXPECT_EQ(channel->capacity(), 1024u);
  EXPECT_EQ(channel->header().magic, layout::kMagic);
}

TEST(ChannelPath, FromTheSetting) {
  const std::string shm = "/dev/shm/telvane-" + std::to_string(::geteuid()) + "-";
  const std::optional<std::string> refused;
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"", shm + "telvane"},
      {"lab-2_b.x", shm + "lab-2_b.x"},
      {std::string(128, 'a'), shm + std::string(128, 'a')},
      {"/var/tmp/my channel", "/var/tmp/my channel"},
      {"relative/dir/ch", "relative/dir/ch"},
      {std::string(129, 'a'), refused},
      {".hidden", refused},
      {"with space", refused},
      {"semi;colon", refused},
  };
  for (const auto& [setting, expected] : cases) {
    if (expected) {
      EXPECT_EQ(channel_path(setting), *expected);
    } else {
      EXPECT_THROW(channel_path(setting), std::runtime_error) << setting;
    }
  }
}

}  // namespace
}  // namespace telvane
