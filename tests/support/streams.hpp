// Streams for checking the channel: varied sizes and values that only a
// bit-exact copy keeps (NaN payloads, -0.0, infinities, subnormals).
#pragma once

#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <telvane/telvane.hpp>

namespace telvane::testing {

// Stream number i: up to 20 values and up to 40 text bytes, different per i.
Stream sample_stream(std::uint32_t i);

// Field by field, values compared by their bits.
::testing::AssertionResult same_stream(const Stream& expected, const Stream& actual);

}  // namespace telvane::testing
