// Sleeping on a word of the shared mapping until the other process wakes it.
// The futexes are shared (not FUTEX_PRIVATE), since the two sides are
// different processes that map the same file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace telvane {

// Sleeps while *word == expected, at most for timeout. Returns early on a
// wake, on a signal, or at once when the word already differs.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                std::chrono::milliseconds timeout);

void futex_wake_all(std::atomic<std::uint32_t>& word);

}  // namespace telvane
