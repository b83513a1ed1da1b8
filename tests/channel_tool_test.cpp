// telvane-channel: inspecting and removing channels from outside.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channel.hpp"
#include "cursor.hpp"
#include "support/process.hpp"
#include "support/scratch_dir.hpp"

namespace {

using telvane::Channel;
using telvane::Role;
using telvane::testing::ScratchDir;

telvane::testing::Outcome tool(std::vector<std::string> arguments,
                               const telvane::testing::Environment& environment = {}) {
  arguments.insert(arguments.begin(), CHANNEL_TOOL);
  return telvane::testing::run(arguments, environment, "");
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

TEST(ChannelTool, InfoShowsWhatWaitsAndWhoIsAttached) {
  ScratchDir dir;
  const std::string path = dir.file("busy");
  const auto sender = Channel::open(path, Role::sender, 4096);
  telvane::StreamWriter writer{*sender};
  const double values[10] = {};
  for (int i = 0; i < 3; ++i) writer.write(i, "today", 0.1, values);
  const auto reader_channel = Channel::open(path, Role::reader);
  telvane::StreamReader reader{*reader_channel};
  reader.next();  // in the reader's hands: still in the channel

  const auto outcome = tool({"info", path});
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(outcome.out, "channel:      " + path +
                             "\n"
                             "capacity:     4096 bytes\n"
                             "waiting:      3 streams, 360 bytes\n"
                             "read cursor:  0\n"
                             "write cursor: 360\n"
                             "sender:       attached (pid " +
                             pid +
                             ")\n"
                             "reader:       attached (pid " +
                             pid + ")\n");
}

TEST(ChannelTool, RemoveRefusesWhileAttachedAndRemovesOnceFree) {
  ScratchDir dir;
  const std::string path = dir.file("ch");
  for (const Role role : {Role::sender, Role::reader}) {
    const auto attached = Channel::open(path, role);
    const auto refused = tool({"remove", path});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.err, "telvane: channel " + path + ": " +
                               (role == Role::sender ? "a sender" : "a reader") +
                               " is attached to it; not removing it\n");
    EXPECT_TRUE(exists(path));
  }
  // Without NAME the tool takes the channel the programs would.
  const auto removed = tool({"remove"}, {{"TELVANE_CHANNEL", path}});
  EXPECT_EQ(removed.exit_status, 0) << removed.err;
  EXPECT_EQ(removed.out, "removed " + path + "\n");
  EXPECT_FALSE(exists(path));
}

TEST(ChannelTool, ClearErrorsForMissingAndHostileChannels) {
  ScratchDir dir;
  ASSERT_EQ(::symlink("/dev/null", dir.file("link").c_str()), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("missing"), "cannot open it: No such file or directory"},
      {dir.file("link"), "is a symbolic link; refusing to follow it"},
  };
  for (const auto& [path, cause] : cases) {
    for (const char* command : {"info", "remove"}) {
      const auto outcome = tool({command, path});
      EXPECT_EQ(outcome.exit_status, 1);
      EXPECT_EQ(outcome.err, "telvane: channel " + path + ": " + cause + "\n");
    }
  }
  EXPECT_TRUE(exists(dir.file("link")));
}

TEST(ChannelTool, UsageAndHelp) {
  const auto help = tool({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("Usage: telvane-channel info [NAME]"), std::string::npos);
  EXPECT_NE(help.out.find("TELVANE_CHANNEL"), std::string::npos);
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{}, {"list"}, {"info", "a", "b"}}) {
    const auto outcome = tool(wrong);
    EXPECT_EQ(outcome.exit_status, 2);
    EXPECT_NE(outcome.err.find("Usage:"), std::string::npos);
  }
}

}  // namespace
