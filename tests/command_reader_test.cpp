// Command lines in, messages out.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "command_reader.hpp"

namespace telvane {
namespace {

using namespace std::string_literals;

// A file descriptor that reads back the given bytes.
int input_of(const std::string& bytes) {
  const int fd = ::memfd_create("commands", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

struct CommandCase {
  const char* name;
  std::string input;
  std::vector<std::string> messages;  // before the end of input gives "Exit"
  bool warns;
};

void PrintTo(const CommandCase& c, std::ostream* out) { *out << c.name; }

class Commands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Commands, LinesInMessagesOut) {
  const CommandCase& c = GetParam();
  const int fd = input_of(c.input);
  CommandReader commands{fd};
  ::testing::internal::CaptureStderr();
  for (const std::string& expected : c.messages) EXPECT_EQ(commands.next(), expected);
  EXPECT_STREQ(commands.next(), "Exit") << "end of input";
  EXPECT_STREQ(commands.next(), "Exit") << "and it stays there";
  const std::string err = ::testing::internal::GetCapturedStderr();
  if (c.warns) {
    EXPECT_NE(err.find("telvane: standard input: a command line longer than 65536"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one warning line: " << err;
  } else {
    EXPECT_EQ(err, "");
  }
  ::close(fd);
}

const std::string kLimit(kMaxCommandBytes, 'x');

INSTANTIATE_TEST_SUITE_P(
    Lines, Commands,
    ::testing::Values(
        CommandCase{"exit", "Exit\n", {"Exit"}, false},
        CommandCase{"exit_with_carriage_return", "Exit\r\n", {"Exit\r"}, false},
        CommandCase{"blanks_are_kept", " Send Stream 5 \n", {" Send Stream 5 "}, false},
        CommandCase{"empty_line", "\n\n", {"", ""}, false},
        CommandCase{"last_line_without_line_feed", "a\n\nb", {"a", "", "b"}, false},
        CommandCase{"no_input", "", {}, false},
        CommandCase{"nul_ends_a_message_early", "x\0y\nz\n"s, {"x", "z"}, false},
        CommandCase{"exactly_the_limit", kLimit + "\nnext\n", {kLimit, "next"}, false},
        CommandCase{"longer_line_is_cut", kLimit + "yyyy\nnext\n", {kLimit, "next"}, true},
        CommandCase{"very_long_line_is_cut",
                    std::string(1 << 20, 'q') + "\nnext\n",
                    {std::string(kMaxCommandBytes, 'q'), "next"},
                    true}),
    [](const auto& info) { return std::string{info.param.name}; });

TEST(CommandsFromAPipe, ALineThatArrivesInPiecesIsOneMessage) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread typist([&] {
    for (const char* piece : {"Send Str", "eam 5", "\nEx", "it\n"}) {
      ASSERT_GT(::write(fds[1], piece, std::char_traits<char>::length(piece)), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds{20});
    }
    ::close(fds[1]);
  });
  CommandReader commands{fds[0]};
  EXPECT_STREQ(commands.next(), "Send Stream 5");
  EXPECT_STREQ(commands.next(), "Exit");
  typist.join();
  ::close(fds[0]);
}

TEST(CommandsFromAFaultyInput, AReadErrorIsToldAndEndsWithExit) {
  const int fd = ::open("/", O_RDONLY | O_DIRECTORY);  // read() fails with EISDIR
  ASSERT_GE(fd, 0);
  CommandReader commands{fd};
  ::testing::internal::CaptureStderr();
  EXPECT_STREQ(commands.next(), "Exit");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("telvane: standard input: cannot read a command: ", 0), 0u) << err;
  ::close(fd);
}

}  // namespace
}  // namespace telvane
