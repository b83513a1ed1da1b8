#include "futex.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace telvane {

namespace {

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
  static_assert(sizeof(word) == sizeof(std::uint32_t));
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr,
                 0);
}

}  // namespace

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                std::chrono::milliseconds timeout) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec relative{
      static_cast<time_t>(seconds.count()),
      static_cast<long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds).count())};
  // Every outcome (woken, timed out, interrupted, value already changed) sends
  // the caller back to look at the cursors, so the result is not needed.
  futex(word, FUTEX_WAIT, expected, &relative);
}

void futex_wake_all(std::atomic<std::uint32_t>& word) { futex(word, FUTEX_WAKE, INT_MAX, nullptr); }

}  // namespace telvane
