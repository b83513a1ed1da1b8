// The six functions as a caller outside the library sees them.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <telvane/telvane.hpp>

#include "support/scratch_dir.hpp"

namespace {

using telvane::testing::ScratchDir;

struct BadCall {
  const char* name;
  const char* text;
  const double* data;
  std::int32_t count;
  const char* cause;
};

// Both faces in one process, on one private channel, in the order a sender
// and a reader would use them.
TEST(Faces, SendAndReceiveThroughTheContract) {
  ScratchDir dir;
  ASSERT_EQ(::setenv("TELVANE_CHANNEL", dir.file("faces").c_str(), 1), 0);

  ::testing::internal::CaptureStderr();
  EXPECT_NE(sendStream(1, "today", 0.1, nullptr, 0), 0) << "before labviewInit";
  EXPECT_THROW(getStream(), std::runtime_error) << "before cppInit";
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("call labviewInit first"),
            std::string::npos);

  ASSERT_EQ(labviewInit(), 0);
  const double special[] = {-0.0, std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::bit_cast<double>(std::uint64_t{0x7ff4000000000abc}),
                            std::numeric_limits<double>::denorm_min()};
  ASSERT_EQ(
      sendStream(-5, "first", std::bit_cast<double>(std::uint64_t{0xfff8000000000001}), special, 5),
      0);

  const double ten[10] = {};
  const BadCall bad_calls[] = {
      {"null text", nullptr, ten, 10, "text is null"},
      {"negative count", "x", ten, -1, "count is below 0 or above 65536"},
      {"count past the limit", "x", ten, 65537, "count is below 0 or above 65536"},
      {"null data", "x", nullptr, 10, "data is null with a positive count"},
  };
  for (const BadCall& call : bad_calls) {
    ::testing::internal::CaptureStderr();
    EXPECT_NE(sendStream(9, call.text, 0.0, call.data, call.count), 0) << call.name;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("telvane: sendStream: ", 0), 0u) << err;
    EXPECT_NE(err.find(call.cause), std::string::npos) << call.name << ": " << err;
  }
  const std::string long_text(65537, 't');
  ::testing::internal::CaptureStderr();
  EXPECT_NE(sendStream(9, long_text.c_str(), 0.0, ten, 10), 0);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("text is longer"), std::string::npos);
  EXPECT_EQ(sendStream(6, "", 0.0, nullptr, 0), 0) << "no values is a valid stream";
  EXPECT_EQ(labviewDestroy(), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_NE(labviewDestroy(), 0) << "no longer attached";
  ::testing::internal::GetCapturedStderr();

  ASSERT_EQ(cppInit(), 0);
  const Stream first = getStream();
  EXPECT_EQ(first.id, -5);
  EXPECT_EQ(first.text, "first");
  EXPECT_EQ(std::bit_cast<std::uint64_t>(first.value), 0xfff8000000000001u);
  ASSERT_EQ(first.data.size(), 5u);
  for (std::size_t k = 0; k < 5; ++k) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(first.data[k]), std::bit_cast<std::uint64_t>(special[k]))
        << "value " << k;
  }
  const Stream second = getStream();  // the refused calls sent nothing
  EXPECT_EQ(second.id, 6);
  EXPECT_TRUE(second.data.empty());
  EXPECT_EQ(second.text, "");
}

struct InitFailure {
  const char* name;
  std::string channel;
  const char* cause;
};

// An initialiser that cannot reach its channel ends the process.
TEST(Faces, AnInitialiserThatCannotAttachEndsTheProcess) {
  // Each death test starts a fresh process, not a fork of one whose faces
  // may be attached already.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScratchDir dir;
  ASSERT_EQ(::symlink("/dev/null", dir.file("link").c_str()), 0);
  const InitFailure failures[] = {
      {"bad name", "no spaces", "telvane: channel name \"no spaces\""},
      {"symbolic link", dir.file("link"), "is a symbolic link"},
      {"missing directory", dir.file("none/ch"), "cannot open it: No such file"},
  };
  for (const InitFailure& failure : failures) {
    ASSERT_EQ(::setenv("TELVANE_CHANNEL", failure.channel.c_str(), 1), 0);
    EXPECT_EXIT(labviewInit(), ::testing::ExitedWithCode(1), failure.cause) << failure.name;
    EXPECT_EXIT(cppInit(), ::testing::ExitedWithCode(1), failure.cause) << failure.name;
  }
}

TEST(Faces, ASenderWhoseChannelFileIsRemovedEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScratchDir dir;
  const std::string path = dir.file("removed");
  ASSERT_EQ(::setenv("TELVANE_CHANNEL", path.c_str(), 1), 0);
  const double ten[10] = {};
  EXPECT_EXIT(
      {
        labviewInit();
        sendStream(1, "today", 0.1, ten, 10);
        ::unlink(path.c_str());
        ::usleep(150 * 1000);
        sendStream(2, "today", 0.1, ten, 10);
      },
      ::testing::ExitedWithCode(1), "its file was removed or replaced while attached");
}

}  // namespace
