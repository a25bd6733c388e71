#include <gtest/gtest.h>

#include <cmath>

#include "core/progress.hpp"
#include "common/text_format.hpp"

namespace morvane {
namespace {

TEST(RateText, ThresholdsAndRounding) {
  EXPECT_EQ(detail::rate_text(999.6), "1000/s");
  EXPECT_EQ(detail::rate_text(1000.0), "1.0k/s");
  EXPECT_EQ(detail::rate_text(2'500'000.0), "2.5M/s");
  EXPECT_EQ(detail::rate_text(0.0), "0/s");
}

TEST(TextFormat, FixedRoundsHalfToEvenAndSpellsSpecialValues) {
  EXPECT_EQ(fixed(0.125, 2), "0.12");
  EXPECT_EQ(fixed(2.5, 0), "2");
  EXPECT_EQ(fixed(-0.0, 2), "-0.00");
  EXPECT_EQ(fixed(std::nan(""), 2), "NaN");
  EXPECT_EQ(fixed(-INFINITY, 1), "-inf");
}

TEST(TextFormat, ShortestPlainHasNoExponent) {
  EXPECT_EQ(shortest_plain(1.0f), "1");
  EXPECT_EQ(shortest_plain(0.5f), "0.5");
  EXPECT_EQ(shortest_plain(-0.0f), "-0");
  EXPECT_EQ(shortest_plain(1e-7f), "0.0000001");
  EXPECT_EQ(shortest_plain(3.4028235e38f), "340282350000000000000000000000000000000");
}

}  // namespace
}  // namespace morvane
