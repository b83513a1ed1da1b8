// The reader's loop against a recording stand-in of the library.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.hpp"
#include "support/scratch_dir.hpp"

namespace {

using namespace std::chrono_literals;
using telvane::testing::ScratchDir;

std::vector<std::string> pair_of(const std::string& id, unsigned long long count) {
  return {"read stream with id: " + id, "number of read streams" + std::to_string(count)};
}

TEST(ReaderLoop, PrintsEachStreamAndTheRunningCount) {
  ScratchDir dir;
  const auto outcome = telvane::testing::run(
      {READER_ON_FAKE},
      {{"TELVANE_FAKE_STREAMS", "42 -5 7 7"}, {"TELVANE_FAKE_LOG", dir.file("log")}}, "");
  EXPECT_EQ(outcome.exit_status, 0) << "the stand-in ends the process after its script";
  EXPECT_EQ(outcome.out,
            "read stream with id: 42\nnumber of read streams1\n"
            "read stream with id: -5\nnumber of read streams2\n"
            "read stream with id: 7\nnumber of read streams3\n"
            "read stream with id: 7\nnumber of read streams4\n");
  std::ifstream log{dir.file("log")};
  std::vector<std::string> calls;
  for (std::string line; std::getline(log, line);) calls.push_back(line);
  EXPECT_EQ(calls, (std::vector<std::string>{"cppInit", "getStream", "getStream", "getStream",
                                             "getStream", "getStream"}));
}

// The stand-in hands out the next stream only when the test says so, after
// it has read the pair of lines for the stream before: so each pair must
// reach the pipe at once, not when some buffer fills.
TEST(ReaderLoop, EachPairIsFlushedBeforeTheNextStreamIsTaken) {
  ScratchDir dir;
  int step[2];
  ASSERT_EQ(::pipe(step), 0);
  telvane::testing::Running reader{READER_ON_FAKE,
                                   {{"TELVANE_FAKE_STREAMS", "1 2 3"},
                                    {"TELVANE_FAKE_LOG", dir.file("log")},
                                    {"TELVANE_FAKE_STEP_FD", std::to_string(step[0])}},
                                   {step[0]}};
  ::close(step[0]);
  for (unsigned long long count = 1; count <= 3; ++count) {
    EXPECT_EQ(reader.lines(2, 5s), pair_of(std::to_string(count), count));
    ASSERT_EQ(::write(step[1], "x", 1), 1);
  }
  ::close(step[1]);
}

}  // namespace
