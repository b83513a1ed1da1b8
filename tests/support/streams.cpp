#include "streams.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace telvane::testing {

Stream sample_stream(std::uint32_t i) {
  static const double kSpecial[] = {
      -0.0,
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::bit_cast<double>(std::uint64_t{0x7ff8dead0000beef}),  // quiet NaN, payload
      std::bit_cast<double>(std::uint64_t{0xfff0000000000001}),  // signalling NaN
      std::numeric_limits<double>::denorm_min(),
      0.1,
  };
  Stream stream;
  stream.id = static_cast<std::int32_t>(i * 2654435761u);
  stream.value = kSpecial[i % std::size(kSpecial)];
  const std::uint32_t count = (i * 7) % 21;
  for (std::uint32_t k = 0; k < count; ++k) {
    stream.data.push_back(k % 3 == 0 ? kSpecial[(i + k) % std::size(kSpecial)]
                                     : static_cast<double>(i) + k / 8.0);
  }
  stream.text.assign((i * 13) % 41, static_cast<char>('a' + i % 26));
  if (!stream.text.empty()) stream.text[0] = '\0';  // text is bytes, not a C string
  return stream;
}

::testing::AssertionResult same_stream(const Stream& expected, const Stream& actual) {
  if (expected.id != actual.id) {
    return ::testing::AssertionFailure() << "id " << actual.id << ", expected " << expected.id;
  }
  if (expected.text != actual.text) {
    return ::testing::AssertionFailure() << "text differs for id " << expected.id;
  }
  if (std::bit_cast<std::uint64_t>(expected.value) != std::bit_cast<std::uint64_t>(actual.value)) {
    return ::testing::AssertionFailure() << "value bits differ for id " << expected.id;
  }
  if (expected.data.size() != actual.data.size()) {
    return ::testing::AssertionFailure() << actual.data.size() << " values, expected "
                                         << expected.data.size() << " for id " << expected.id;
  }
  for (std::size_t k = 0; k < expected.data.size(); ++k) {
    if (std::bit_cast<std::uint64_t>(expected.data[k]) !=
        std::bit_cast<std::uint64_t>(actual.data[k])) {
      return ::testing::AssertionFailure() << "value " << k << " differs for id " << expected.id;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace telvane::testing
