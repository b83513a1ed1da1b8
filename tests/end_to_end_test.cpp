// Both programs and the library, on a private channel per test.
#include <stdlib.h>

#include <bit>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <telvane/telvane.hpp>

#include "signal.hpp"
#include "support/process.hpp"
#include "support/scratch_dir.hpp"

namespace {

using namespace std::chrono_literals;
using telvane::testing::Running;
using telvane::testing::ScratchDir;

constexpr int kCommands = 300;

// Commands for streams 0, 7, 14, ... with every tenth one a non-matching
// command, and the ids they give.
std::string commands(std::vector<std::int32_t>& ids) {
  std::string input;
  for (int i = 0; i < kCommands; ++i) {
    const std::int32_t id = i % 10 == 9 ? 0 : i * 7 - 100;
    input += i % 10 == 9 ? "not a command\n" : "Send Stream " + std::to_string(id) + "\n";
    ids.push_back(id);
  }
  return input + "Exit\n";
}

std::vector<std::string> pairs_for(const std::vector<std::int32_t>& ids) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    lines.push_back("read stream with id: " + std::to_string(ids[i]));
    lines.push_back("number of read streams" + std::to_string(i + 1));
  }
  return lines;
}

void expect_sender_ran(const telvane::testing::Outcome& sender) {
  EXPECT_EQ(sender.exit_status, 0);
  EXPECT_EQ(sender.err, "");
}

TEST(EndToEnd, TheReaderPrintsOnePairPerCommandInOrder) {
  ScratchDir dir;
  const telvane::testing::Environment channel{{"TELVANE_CHANNEL", dir.file("channel")}};
  Running reader{READER_PROGRAM, channel};
  std::vector<std::int32_t> ids;
  expect_sender_ran(telvane::testing::run({SENDER_PROGRAM}, channel, commands(ids)));
  EXPECT_EQ(reader.lines(2 * ids.size(), 20s), pairs_for(ids));
  EXPECT_EQ(reader.line(200ms), std::nullopt) << "nothing more than was sent";
}

TEST(EndToEnd, AReaderStartedAfterTheSenderEndedGetsEveryStream) {
  ScratchDir dir;
  const telvane::testing::Environment channel{{"TELVANE_CHANNEL", dir.file("channel")}};
  std::vector<std::int32_t> ids;
  expect_sender_ran(telvane::testing::run({SENDER_PROGRAM}, channel, commands(ids)));
  Running reader{READER_PROGRAM, channel};
  EXPECT_EQ(reader.lines(2 * ids.size(), 20s), pairs_for(ids));
}

// A consumer of the library's own, in this process, checks what the
// reader program does not look at: the values, text and value of each.
TEST(EndToEnd, EachStreamCarriesTheGeneratorsValuesForItsId) {
  ScratchDir dir;
  ASSERT_EQ(::setenv("TELVANE_CHANNEL", dir.file("channel").c_str(), 1), 0);
  std::vector<std::int32_t> ids;
  std::string input = commands(ids);
  input.insert(0, "Send Stream 2147483640\nSend Stream -2147483648\n");
  ids.insert(ids.begin(), {2147483640, -2147483647 - 1});
  expect_sender_ran(telvane::testing::run({SENDER_PROGRAM}, {}, input));
  ASSERT_EQ(cppInit(), 0);
  for (const std::int32_t id : ids) {
    const Stream stream = getStream();
    ASSERT_EQ(stream.id, id);
    EXPECT_EQ(stream.text, "today");
    EXPECT_EQ(std::bit_cast<std::uint64_t>(stream.value), 0x3fb999999999999au);
    double expected[kSignalLength];
    fill_signal(expected, id);
    EXPECT_EQ(stream.data, std::vector<double>(std::begin(expected), std::end(expected)))
        << "id " << id;
  }
}

}  // namespace
