#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

namespace telvane::testing {

namespace {

using Clock = std::chrono::steady_clock;

// A program that exits before reading all its input must not kill the test
// with SIGPIPE; the children get the default action back before exec.
const bool sigpipe_ignored = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

void make_pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

// Forks and execs program with the pipes as its standard streams; in the
// child, the descriptors in keep survive the exec.
pid_t spawn(const Command& command, const Environment& environment, int in_fd, int out_fd,
            int err_fd, const std::vector<int>& keep) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid != 0) return pid;
  for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
  ::dup2(in_fd, STDIN_FILENO);
  ::dup2(out_fd, STDOUT_FILENO);
  ::dup2(err_fd, STDERR_FILENO);
  for (const int fd : keep) ::fcntl(fd, F_SETFD, 0);
  ::signal(SIGPIPE, SIG_DFL);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

void fill_outcome(Outcome& outcome, int status) {
  if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
}

}  // namespace

Outcome run(const Command& command, const Environment& environment, const std::string& input,
            std::chrono::milliseconds timeout) {
  int in[2], out[2], err[2];
  make_pipe(in);
  make_pipe(out);
  make_pipe(err);
  const pid_t pid = spawn(command, environment, in[0], out[1], err[1], {});
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);

  Outcome outcome;
  std::size_t written = 0;
  if (input.empty()) {
    ::close(in[1]);
    in[1] = -1;
  }
  const auto deadline = Clock::now() + timeout;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      ADD_FAILURE() << command.front() << " ran past its time limit";
      break;
    }
    pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                     {err_open ? err[0] : -1, POLLIN, 0},
                     {in[1], POLLOUT, 0}};
    if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    char chunk[65536];
    for (int i = 0; i < 2; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        (i == 0 ? outcome.out : outcome.err).append(chunk, static_cast<std::size_t>(got));
      } else {
        (i == 0 ? out_open : err_open) = false;
      }
    }
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t put = ::write(in[1], input.data() + written, input.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if (put < 0 || written == input.size()) {
        ::close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) ::close(in[1]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  fill_outcome(outcome, status);
  outcome.peak_rss_kb = usage.ru_maxrss;
  return outcome;
}

Running::Running(const std::string& program, const Environment& environment,
                 const std::vector<int>& inherited_fds, int input_fd, int error_fd,
                 bool discard_output) {
  int out[2];
  make_pipe(out);
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_ = spawn({program}, environment, input_fd >= 0 ? input_fd : null_fd,
               discard_output ? null_fd : out[1], error_fd >= 0 ? error_fd : STDERR_FILENO,
               inherited_fds);
  ::close(null_fd);
  ::close(out[1]);
  out_fd_ = out[0];
}

Running::~Running() {
  kill();
  if (out_fd_ >= 0) ::close(out_fd_);
}

std::optional<std::string> Running::line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      std::string text = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return text;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || out_fd_ < 0) return std::nullopt;
    pollfd fd{out_fd_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t got = ::read(out_fd_, chunk, sizeof chunk);
    if (got <= 0) {
      ::close(out_fd_);
      out_fd_ = -1;
      continue;
    }
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
}

std::vector<std::string> Running::lines(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> result;
  while (result.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto text = line(std::max(left, std::chrono::milliseconds{0}));
    if (!text) break;
    result.push_back(std::move(*text));
  }
  return result;
}

std::optional<int> Running::wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    rusage usage{};
    if (pid_ <= 0) return std::nullopt;
    if (::wait4(pid_, &status, WNOHANG, &usage) == pid_) {
      pid_ = -1;
      peak_rss_kb_ = usage.ru_maxrss;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    ::usleep(2000);
  }
}

void Running::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace telvane::testing
