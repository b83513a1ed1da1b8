// The sender: its generator, its reading of stream numbers, its loop against
// a recording stand-in of the library, and the real program on a channel.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channel.hpp"
#include "cursor.hpp"
#include "signal.hpp"
#include "support/process.hpp"
#include "support/scratch_dir.hpp"

namespace {

using telvane::testing::ScratchDir;
using Signal = std::vector<double>;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

Signal signal_of(std::int32_t n) {
  double buffer[kSignalLength];
  std::fill(std::begin(buffer), std::end(buffer), std::nan(""));  // every slot must be written
  fill_signal(buffer, n);
  return Signal(std::begin(buffer), std::end(buffer));
}

// The definition, step by step from (0, 1): usable for small indexes only.
double fibonacci_mod_100_direct(std::int64_t k) {
  unsigned previous = 0, current = 1;
  for (std::int64_t step = 0; step < k; ++step) {
    const unsigned next = (current + previous) % 100;
    previous = current % 100;
    current = next;
  }
  return previous;
}

// F(k) mod 100 by fast doubling, a method independent of the period.
std::pair<unsigned, unsigned> doubling(std::uint64_t k) {  // (F(k), F(k+1)) mod 100
  if (k == 0) return {0, 1};
  const auto [a, b] = doubling(k / 2);
  const unsigned c = a * ((2 * b + 100 - a) % 100) % 100;
  const unsigned d = (a * a + b * b) % 100;
  return k % 2 == 0 ? std::pair{c, d} : std::pair{d, (c + d) % 100};
}

// What slot i holds for stream number n: the index wraps as a 32-bit value.
double expected_slot(std::int32_t n, std::int64_t i) {
  const std::int64_t index = std::int64_t{n} + i;
  if (index <= 0 || index > kMax) return 0;
  return doubling(static_cast<std::uint64_t>(index)).first;
}

TEST(Generator, KnownStreams) {
  const std::pair<std::int32_t, Signal> cases[] = {
      {0, {0, 1, 1, 2, 3, 5, 8, 13, 21, 34}},        {3, {2, 3, 5, 8, 13, 21, 34, 55, 89, 44}},
      {7, {13, 21, 34, 55, 89, 44, 33, 77, 10, 87}}, {10, {55, 89, 44, 33, 77, 10, 87, 97, 84, 81}},
      {-3, {0, 0, 0, 0, 1, 1, 2, 3, 5, 8}},          {150, {0, 49, 49, 98, 47, 45, 92, 37, 29, 66}},
      {300, {0, 1, 1, 2, 3, 5, 8, 13, 21, 34}},      {kMin, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& [n, values] : cases) EXPECT_EQ(signal_of(n), values) << "n = " << n;
}

TEST(Generator, EqualsTheDefinitionOverARangeAndAtTheBoundaries) {
  for (std::int32_t n = -20; n <= 1300; ++n) {
    Signal direct;
    for (std::int32_t i = 0; i < 10; ++i) direct.push_back(fibonacci_mod_100_direct(n + i));
    ASSERT_EQ(signal_of(n), direct) << "n = " << n;
  }
  // Near the largest value each slot whose index passes it holds 0, and so
  // does every later slot; near the smallest, everything is below 1.
  for (std::int64_t n = std::int64_t{kMax} - 12; n <= kMax; ++n) {
    Signal expected;
    for (int i = 0; i < 10; ++i) expected.push_back(expected_slot(static_cast<std::int32_t>(n), i));
    ASSERT_EQ(signal_of(static_cast<std::int32_t>(n)), expected) << "n = " << n;
  }
  for (const std::int32_t n : {1000000, 123456789, 2147483000}) {
    Signal expected;
    for (int i = 0; i < 10; ++i) expected.push_back(expected_slot(n, i));
    EXPECT_EQ(signal_of(n), expected) << "n = " << n;
  }
}

TEST(StreamNumber, AsScannedFromACommand) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"Send Stream 7", 7},
      {"Send Stream -3", -3},
      {"Send Stream +5", 5},
      {"Send  Stream   5", 5},
      {"SendStream5", 5},
      {"Send Stream5", 5},
      {"Send\tStream\n5", 5},
      {"Send Stream 5 and more", 5},
      {"Send Stream 5abc", 5},
      {"Send Stream 2147483647", kMax},
      {"Send Stream 2147483648", kMax},
      {"Send Stream 99999999999", kMax},
      {"Send Stream 999999999999999999999999999", kMax},
      {"Send Stream -2147483648", kMin},
      {"Send Stream -99999999999", kMin},
      {"Send Stream", 0},
      {"Send Stream x", 0},
      {"Send Stream - 5", 0},
      {" Send Stream 5", 0},
      {"send stream 5", 0},
      {"Exit", 0},
      {"", 0},
  };
  for (const auto& [command, number] : cases) {
    EXPECT_EQ(scan_stream_number(command), number) << '"' << command << '"';
  }
}

// --- the loop against the recording stand-in ------------------------------

struct LoopRun {
  telvane::testing::Outcome outcome;
  std::vector<std::string> calls;
};

LoopRun run_on_fake(const std::vector<std::string>& messages) {
  ScratchDir dir;
  {
    std::ofstream script{dir.file("messages"), std::ios::binary};
    for (const std::string& message : messages) script << message << '\0';
  }
  LoopRun run;
  run.outcome = telvane::testing::run(
      {SENDER_ON_FAKE},
      {{"TELVANE_FAKE_MESSAGES", dir.file("messages")}, {"TELVANE_FAKE_LOG", dir.file("log")}}, "");
  std::ifstream log{dir.file("log")};
  for (std::string line; std::getline(log, line);) run.calls.push_back(line);
  return run;
}

std::string send_call(std::int32_t id) {
  std::ostringstream line;
  line << "sendStream " << id << " today 0x3fb999999999999a 10 ";
  const Signal values = signal_of(id);
  for (std::size_t i = 0; i < values.size(); ++i) line << (i ? "," : "") << values[i];
  return line.str();
}

// The whole expected run for messages that end with "Exit": output and calls.
LoopRun expected_run(const std::vector<std::string>& messages,
                     const std::vector<std::int32_t>& streams) {
  LoopRun run;
  run.outcome.exit_status = 0;
  run.calls.push_back("labviewInit");
  for (std::size_t i = 0; i < messages.size(); ++i) {
    run.calls.push_back("getMessage");
    run.outcome.out += "received msg: " + messages[i] + "\n";
    if (i < streams.size()) {
      run.outcome.out += "sending stream: " + std::to_string(streams[i]) + "\n";
      run.calls.push_back(send_call(streams[i]));
    }
  }
  run.outcome.out += "exitting program\n";
  run.calls.push_back("labviewDestroy");
  return run;
}

void expect_run(const std::vector<std::string>& messages,
                const std::vector<std::int32_t>& streams) {
  const LoopRun actual = run_on_fake(messages);
  const LoopRun expected = expected_run(messages, streams);
  EXPECT_EQ(actual.outcome.exit_status, 0);
  EXPECT_EQ(actual.outcome.out, expected.outcome.out);
  EXPECT_EQ(actual.calls, expected.calls);
}

TEST(SenderLoop, FirstMessageExit) {
  const LoopRun run = run_on_fake({"Exit"});
  EXPECT_EQ(run.outcome.exit_status, 0);
  EXPECT_EQ(run.outcome.out, "received msg: Exit\nexitting program\n");
  EXPECT_EQ(run.calls, (std::vector<std::string>{"labviewInit", "getMessage", "labviewDestroy"}));
}

TEST(SenderLoop, OneStreamPerCommand) {
  expect_run({"Send Stream 7", "Exit"}, {7});
  expect_run({"Send Stream -3", "Exit"}, {-3});
  expect_run({"Send Stream 99999999999", "Exit"}, {kMax});
  expect_run({"Send Stream -99999999999", "Exit"}, {kMin});
  expect_run({"Send Stream 1", "Send Stream 2", "junk", "Send Stream 300", "Send Stream 2", "Exit"},
             {1, 2, 0, 300, 2});
}

TEST(SenderLoop, MessagesThatAreNotTheExitCommandOrThePatternGoOutAsStreamZero) {
  for (const char* message : {"exit", "EXIT", "Exit ", "Exit\n", "Exit\r", " Exit", "hello",
                              " Send Stream 5", "", "Send Stream", "Send Stream x"}) {
    SCOPED_TRACE(message);
    expect_run({message, "Exit"}, {0});
  }
}

TEST(SenderLoop, FormsThatStillAskForStreamFive) {
  for (const char* message : {"Send  Stream  5", "Send Stream    5", "SendStream5", "Send Stream5",
                              "SendStream 5", "Send Stream 5 and more", "Send Stream 5abc"}) {
    SCOPED_TRACE(message);
    expect_run({message, "Exit"}, {5});
  }
}

// --- the real program on the real library ----------------------------------

std::vector<Stream> streams_in(const std::string& path, std::size_t count) {
  const auto channel = telvane::Channel::open(path, telvane::Role::reader);
  telvane::StreamReader reader{*channel};
  std::vector<Stream> streams;
  for (std::size_t i = 0; i < count; ++i) streams.push_back(reader.next());
  return streams;
}

TEST(SenderProgram, AnswersItsCommandsThroughTheChannel) {
  ScratchDir dir;
  const std::string channel = dir.file("channel");
  const auto outcome =
      telvane::testing::run({SENDER_PROGRAM}, {{"TELVANE_CHANNEL", channel}},
                            "Send Stream 3\nnonsense\nExit\r\nExit\nSend Stream 9\n");
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out,
            "received msg: Send Stream 3\nsending stream: 3\n"
            "received msg: nonsense\nsending stream: 0\n"
            "received msg: Exit\r\nsending stream: 0\n"
            "received msg: Exit\nexitting program\n");
  const auto streams = streams_in(channel, 3);
  const std::int32_t ids[] = {3, 0, 0};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(streams[i].id, ids[i]);
    EXPECT_EQ(streams[i].text, "today");
    EXPECT_EQ(std::bit_cast<std::uint64_t>(streams[i].value), 0x3fb999999999999au);
    EXPECT_EQ(streams[i].data, signal_of(ids[i]));
  }
}

TEST(SenderProgram, EndOfInputEndsItCleanly) {
  ScratchDir dir;
  const auto outcome = telvane::testing::run(
      {SENDER_PROGRAM}, {{"TELVANE_CHANNEL", dir.file("channel")}}, "Send Stream 1\nSend Stream 2");
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out,
            "received msg: Send Stream 1\nsending stream: 1\n"
            "received msg: Send Stream 2\nsending stream: 2\n"
            "received msg: Exit\nexitting program\n");
  EXPECT_EQ(streams_in(dir.file("channel"), 2)[1].data, signal_of(2));
}

TEST(SenderProgram, ACannotReachItsChannelEndsWithAnError) {
  ScratchDir dir;
  const auto outcome = telvane::testing::run(
      {SENDER_PROGRAM}, {{"TELVANE_CHANNEL", dir.file("missing/channel")}}, "Send Stream 1\n");
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err.rfind("telvane: channel " + dir.file("missing/channel") + ": ", 0), 0u)
      << outcome.err;
}

}  // namespace
