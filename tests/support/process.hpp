// Running the project's programs from tests: one that runs to its end, and
// one (the reader) that runs until the test stops it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace telvane::testing {

using Environment = std::map<std::string, std::string>;

struct Outcome {
  int exit_status = -1;  // -1 when the program did not exit normally
  int signal = 0;
  std::string out;
  std::string err;
  long peak_rss_kb = 0;  // the program's largest resident size
};

// The program and its arguments.
using Command = std::vector<std::string>;

// Runs command with the given extra environment and standard input, and
// returns what it printed. Kills it and fails the calling test when it runs
// past timeout.
Outcome run(const Command& command, const Environment& environment, const std::string& input,
            std::chrono::milliseconds timeout = std::chrono::seconds{30});

// A program left running, its standard output read through a pipe. It is
// killed when the object goes, so a test never leaves it behind.
class Running {
 public:
  // Standard input comes from input_fd (or /dev/null when -1), standard
  // error goes to error_fd (or the test's own when -1), and standard output
  // to the pipe that line() reads, or to /dev/null with discard_output.
  Running(const std::string& program, const Environment& environment,
          const std::vector<int>& inherited_fds = {}, int input_fd = -1, int error_fd = -1,
          bool discard_output = false);
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running();

  // The next line of standard output without its line feed, or nothing when
  // none completes within timeout.
  std::optional<std::string> line(std::chrono::milliseconds timeout);

  // Reads standard output until lines counts `count` lines or timeout runs
  // out; returns what was read.
  std::vector<std::string> lines(std::size_t count, std::chrono::milliseconds timeout);

  // Waits for it to end by itself; returns its exit status, -1 for a
  // signal, or nothing when it still runs after timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);

  // Its largest resident size, once wait() has seen it end.
  long peak_rss_kb() const { return peak_rss_kb_; }

  // Stops it with SIGKILL and waits for it.
  void kill();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  long peak_rss_kb_ = 0;
  std::string pending_;
};

}  // namespace telvane::testing
