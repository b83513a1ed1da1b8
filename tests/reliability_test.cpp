// What users trust the channel with: programs killed at random instants,
// hostile input, rivals on one channel, and a channel file pulled away.
//
// The crash loops run TELVANE_CRASH_ROUNDS rounds (default 20) per mode
// within TELVANE_CRASH_SECONDS (default 20); TELVANE_CRASH_SEED repeats a run.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "inspect.hpp"
#include "support/process.hpp"
#include "support/scratch_dir.hpp"

namespace {

using namespace std::chrono_literals;
using telvane::testing::Running;
using telvane::testing::ScratchDir;
using Clock = std::chrono::steady_clock;

long setting(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value == nullptr ? fallback : std::strtol(value, nullptr, 10);
}

// A process that writes the commands for streams from..to-1 into a pipe,
// then "Exit"; it ends when the pipe's reader goes.
struct CommandFeed {
  pid_t feeder = -1;
  int read_fd = -1;

  CommandFeed(long from, long to) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    feeder = ::fork();
    if (feeder == 0) {
      ::close(fds[0]);
      std::string chunk;
      for (long id = from; id <= to; ++id) {
        chunk += id < to ? "Send Stream " + std::to_string(id) + "\n" : std::string{"Exit\n"};
        if (chunk.size() < 60000 && id < to) continue;
        for (std::size_t put = 0; put < chunk.size();) {
          const ssize_t n = ::write(fds[1], chunk.data() + put, chunk.size() - put);
          if (n <= 0) ::_exit(0);  // the sender is gone
          put += static_cast<std::size_t>(n);
        }
        chunk.clear();
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    read_fd = fds[0];
  }
  CommandFeed(const CommandFeed&) = delete;
  CommandFeed& operator=(const CommandFeed&) = delete;
  ~CommandFeed() {
    ::close(read_fd);
    ::kill(feeder, SIGKILL);
    ::waitpid(feeder, nullptr, 0);
  }
};

enum class Victim { sender, reader, both };

void PrintTo(Victim victim, std::ostream* out) {
  *out << (victim == Victim::sender ? "sender" : victim == Victim::reader ? "reader" : "both");
}

// Runs a sender and a checking reader on one channel and kills one or both
// with SIGKILL at random instants, restarting what it killed. A restarted
// sender continues after the last stream that reached the channel; every
// stream the reader prints must be sound and follow the one before it, but
// for one repeat of the stream in hand after each reader kill.
class CrashLoop {
 public:
  explicit CrashLoop(std::uint32_t seed) : random_(seed) {
    environment_ = {{"TELVANE_CHANNEL", dir_.file("channel")}};
    start_reader();
  }

  void round(Victim mode) {
    if (!sender_) {
      const std::uint64_t written = write_cursor();
      start_sender();
      // Half the kills wait until the sender is sending, so that slow starts
      // (as under the sanitizers) still leave kills in the middle of a run.
      if (random_() % 2 == 0) {
        const auto deadline = Clock::now() + 10s;
        while (write_cursor() == written && Clock::now() < deadline) consume_line(1ms);
      }
    }
    const auto pause = std::chrono::microseconds{random_() % 30000};
    consume_for(pause);
    Victim victim = mode;
    if (mode == Victim::both) victim = static_cast<Victim>(random_() % 3);
    if (victim != Victim::sender) {
      reader_->kill();
      ++reader_kills_;
      while (consume_line(1s)) {
        // what the killed reader printed before it died
      }
      start_reader();
    }
    if (victim != Victim::reader) {
      sender_->kill();
      sender_.reset();
      feed_.reset();
      ++sender_kills_;
      drain();
      next_id_ = last_id_ + 1;
    }
  }

  void finish() {
    sender_.reset();
    feed_.reset();
    drain();
  }

  std::string summary() const {
    std::ostringstream text;
    text << sender_kills_ << " sender kills, " << reader_kills_ << " reader kills, " << checked_
         << " streams checked, " << repeats_ << " repeated after a reader kill";
    return text.str();
  }
  long checked() const { return checked_; }

 private:
  // 0 while the channel is still being made.
  std::uint64_t write_cursor() const {
    try {
      return telvane::inspect_channel(dir_.file("channel")).write_cursor;
    } catch (const std::runtime_error&) {
      return 0;
    }
  }

  void start_reader() {
    reader_ = std::make_unique<Running>(CHECKING_READER, environment_);
    may_repeat_ = true;
  }

  void start_sender() {
    feed_ = std::make_unique<CommandFeed>(next_id_, 2000000000);
    sender_ = std::make_unique<Running>(SENDER_PROGRAM, environment_, std::vector<int>{},
                                        feed_->read_fd, -1, true);
  }

  // Checks what the reader printed; false when nothing came within timeout.
  bool consume_line(std::chrono::milliseconds timeout) {
    const auto line = reader_->line(timeout);
    if (!line) return false;
    std::istringstream words{*line};
    std::string verdict;
    long id = -1;
    words >> verdict >> id;
    EXPECT_EQ(verdict, "ok") << "a torn or corrupt stream reached the reader: " << *line;
    if (id == last_id_ && may_repeat_) {
      ++repeats_;
    } else {
      EXPECT_EQ(id, last_id_ + 1) << "stream " << id << " after " << last_id_;
    }
    may_repeat_ = false;
    last_id_ = id;
    ++checked_;
    return true;
  }

  void consume_for(std::chrono::microseconds time) {
    const auto end = Clock::now() + time;
    while (Clock::now() < end) {
      consume_line(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
    }
  }

  // Reads until the reader holds the last stream in the channel and has said
  // nothing more for a while.
  void drain() {
    const auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
      if (consume_line(100ms)) continue;
      if (telvane::inspect_channel(dir_.file("channel")).streams_waiting <= 1) return;
    }
    ADD_FAILURE() << "the reader did not drain the channel";
  }

  ScratchDir dir_;
  telvane::testing::Environment environment_;
  std::mt19937 random_;
  std::unique_ptr<Running> reader_;
  std::unique_ptr<CommandFeed> feed_;
  std::unique_ptr<Running> sender_;
  long next_id_ = 0;
  long last_id_ = -1;
  bool may_repeat_ = false;
  long checked_ = 0;
  long repeats_ = 0;
  long sender_kills_ = 0;
  long reader_kills_ = 0;
};

class KilledAtRandom : public ::testing::TestWithParam<Victim> {};

TEST_P(KilledAtRandom, NothingTornNothingSkippedNothingTwice) {
  const long rounds = setting("TELVANE_CRASH_ROUNDS", 20);
  const auto limit = std::chrono::seconds{setting("TELVANE_CRASH_SECONDS", 20)};
  const auto seed = static_cast<std::uint32_t>(
      setting("TELVANE_CRASH_SEED", static_cast<long>(std::random_device{}() % 1000000)));
  SCOPED_TRACE("TELVANE_CRASH_SEED=" + std::to_string(seed));
  CrashLoop loop{seed};
  const auto start = Clock::now();
  long round = 0;
  for (; round < rounds && Clock::now() - start < limit && !HasFailure(); ++round) {
    loop.round(GetParam());
  }
  loop.finish();
  std::printf("crash loop (seed %u): %ld rounds, %s\n", seed, round, loop.summary().c_str());
  EXPECT_GT(loop.checked(), 0);
}

INSTANTIATE_TEST_SUITE_P(Victims, KilledAtRandom,
                         ::testing::Values(Victim::sender, Victim::reader, Victim::both),
                         [](const auto& info) {
                           std::ostringstream name;
                           PrintTo(info.param, &name);
                           return name.str();
                         });

// --- bad input to the sender ------------------------------------------------

std::string file_text(const std::string& path) {
  std::ifstream file{path};
  return {std::istreambuf_iterator<char>{file}, std::istreambuf_iterator<char>{}};
}

// Writes random lines of every awkward kind to a file; none reads as
// "Exit". Written as they are made, so the test itself stays small.
void write_random_lines(const std::string& path, std::size_t count, std::uint32_t seed) {
  std::mt19937 random{seed};
  std::ofstream file{path, std::ios::binary};
  for (std::size_t i = 0; i < count; ++i) {
    std::string line;
    const unsigned kind = random() % 50;
    if (kind == 0) {  // about a megabyte
      line.assign((1 << 20) + random() % 1000, static_cast<char>('0' + random() % 10));
    } else if (kind < 10) {  // binary bytes
      for (unsigned n = random() % 200; n > 0; --n) line += static_cast<char>(random() % 256);
    } else if (kind < 15) {
      line = std::string("Send Stream 5\0Exit", 18);
    } else if (kind < 20) {
      line = "Exit\r";
    } else if (kind < 30) {
      line = "";
    } else {
      line = "Send Stream " + std::to_string(static_cast<std::int32_t>(random()));
    }
    for (char& c : line) c = c == '\n' ? ' ' : c;
    if (line.rfind("Exit", 0) == 0 && (line.size() == 4 || line[4] == '\0')) line[0] = 'e';
    file << line << '\n';
  }
}

TEST(BadInput, OneStreamPerLineAndMemoryDoesNotGrowWithInput) {
  long peak_kb[2] = {};
  const std::size_t counts[2] = {1000, 4000};  // 4000 streams still fit the channel
  for (int run = 0; run < 2; ++run) {
    ScratchDir dir;
    write_random_lines(dir.file("input"), counts[run], 7 + run);
    const int input = ::open(dir.file("input").c_str(), O_RDONLY | O_CLOEXEC);
    const int error = ::open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    Running sender{
        SENDER_PROGRAM, {{"TELVANE_CHANNEL", dir.file("channel")}}, {}, input, error, true};
    ::close(input);
    ::close(error);
    EXPECT_EQ(sender.wait(60s), 0);
    EXPECT_EQ(telvane::inspect_channel(dir.file("channel")).streams_waiting, counts[run])
        << "one stream per line";
    EXPECT_NE(file_text(dir.file("err")).find("was cut to that length"), std::string::npos);
    peak_kb[run] = sender.peak_rss_kb();
  }
  std::printf("sender peak resident size: %ld KiB for %zu lines, %ld KiB for %zu lines\n",
              peak_kb[0], counts[0], peak_kb[1], counts[1]);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' allocators hold freed memory back on purpose, so peak
  // sizes say nothing about the program there.
#else
  // Four times the input, with four times the megabyte lines, may only add
  // the channel pages that the extra streams touch, about 360 KiB.
  EXPECT_LT(peak_kb[1], peak_kb[0] + 1024);
#endif
}

// --- rivals on one channel --------------------------------------------------

TEST(Rivals, OfTwoSendersOrTwoReadersStartedTogetherExactlyOneWins) {
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ScratchDir dir;
    const telvane::testing::Environment channel{{"TELVANE_CHANNEL", dir.file("channel")}};
    const bool senders = round % 2 == 0;
    int input[2][2];
    std::unique_ptr<Running> rivals[2];
    int errors[2];
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(::pipe2(input[i], O_CLOEXEC), 0);
      errors[i] =
          ::open(dir.file("err" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    }
    for (int i = 0; i < 2; ++i) {
      rivals[i] = std::make_unique<Running>(senders ? SENDER_PROGRAM : READER_PROGRAM, channel,
                                            std::vector<int>{}, input[i][0], errors[i]);
    }
    // Wait for the first of the two to end; the other must go on running.
    int loser = -1;
    std::optional<int> status;
    for (const auto deadline = Clock::now() + 5s; loser < 0 && Clock::now() < deadline;) {
      for (int i = 0; i < 2 && loser < 0; ++i) {
        if ((status = rivals[i]->wait(0ms))) loser = i;
      }
    }
    ASSERT_GE(loser, 0) << "both " << (senders ? "senders" : "readers") << " were let in";
    const int winner = 1 - loser;
    EXPECT_EQ(status, 1);
    EXPECT_EQ(file_text(dir.file("err" + std::to_string(loser))),
              "telvane: channel " + dir.file("channel") + ": another " +
                  (senders ? "sender" : "reader") + " is attached to it\n");
    const int losers = 1 + (rivals[winner]->wait(100ms) ? 1 : 0);
    ASSERT_EQ(losers, 1) << "exactly one of two " << (senders ? "senders" : "readers") << " wins";
    if (senders) {
      ::close(input[winner][1]);  // end of input: the winner ends cleanly
      input[winner][1] = -1;
      EXPECT_EQ(rivals[winner]->wait(5s), 0);
      EXPECT_EQ(telvane::inspect_channel(dir.file("channel")).bytes_waiting, 0u);
    } else {
      const auto sent = telvane::testing::run({SENDER_PROGRAM}, channel, "Send Stream 4\nExit\n");
      EXPECT_EQ(sent.exit_status, 0);
      EXPECT_EQ(rivals[winner]->line(5s), "read stream with id: 4");
    }
    for (int i = 0; i < 2; ++i) {
      ::close(input[i][0]);
      if (input[i][1] >= 0) ::close(input[i][1]);
      ::close(errors[i]);
    }
  }
}

// --- the channel file pulled away -------------------------------------------

TEST(LostChannelFile, AReaderWaitingOnARemovedFileEndsWithADiagnostic) {
  ScratchDir dir;
  const std::string path = dir.file("channel");
  const telvane::testing::Environment channel{{"TELVANE_CHANNEL", path}};
  const int error = ::open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  Running reader{READER_PROGRAM, channel, {}, -1, error};
  ::close(error);
  const auto deadline = Clock::now() + 5s;
  while (::access(path.c_str(), F_OK) != 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(::unlink(path.c_str()), 0);
  // A sender that starts now makes a new channel at the same path.
  EXPECT_EQ(telvane::testing::run({SENDER_PROGRAM}, channel, "Send Stream 1\nExit\n").exit_status,
            0);
  EXPECT_EQ(reader.wait(5s), -1) << "the reader must not wait on a file nobody can reach";
  EXPECT_NE(
      file_text(dir.file("err"))
          .find("telvane: channel " + path + ": its file was removed or replaced while attached"),
      std::string::npos)
      << file_text(dir.file("err"));
  // The stream waits in the new channel for the next reader.
  EXPECT_EQ(telvane::inspect_channel(path).streams_waiting, 1u);
}

}  // namespace
