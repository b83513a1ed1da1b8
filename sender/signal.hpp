// The sender's test signal and the reading of its commands.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kSignalLength = 10;

// Fills slot i with F(n + i) mod 100, where F(0) = 0 and F(1) = 1, and with 0
// for an index below 1. The index n + i wraps past the largest 32-bit value to
// negative, so every slot past it holds 0. The work is bounded whatever n is.
void fill_signal(double (&signal)[kSignalLength], std::int32_t n);

// The stream number that a command asks for: the number after "Send Stream",
// matched as sscanf matches that pattern (each blank stands for any run of
// white space, including none; text after the number is ignored), or 0 when
// the command does not match. A number past the 32-bit range is clamped to
// the nearest 32-bit limit.
std::int32_t scan_stream_number(const char* command);
