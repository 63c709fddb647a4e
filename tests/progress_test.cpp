// The progress figures: unit boundaries of the byte counts, the clock format
// and the speed and time left, worked out by hand.
#include "tavo/progress.h"

#include <gtest/gtest.h>

namespace tavo {
namespace {

struct BytesCase {
  std::int64_t bytes;
  const char* text;
};

const BytesCase kBytesCases[] = {
    {0, "0 B"},
    {1023, "1023 B"},
    {1024, "1.0 KiB"},
    {1536, "1.5 KiB"},
    {1048575, "1.0 MiB"},  // 1023.999 KiB rounds up into the next unit
    {2147483648, "2.0 GiB"},
    {5497558138880, "5.0 TiB"},
    {1125899906842624, "1024.0 TiB"},  // no unit beyond TiB
};

TEST(FormatBytes, UnitBoundaries) {
  for (const BytesCase& c : kBytesCases) EXPECT_EQ(format_bytes(c.bytes), c.text) << c.bytes;
}

TEST(FormatDuration, MinutesThenHours) {
  EXPECT_EQ(format_duration(0), "0:00");
  EXPECT_EQ(format_duration(59.4), "0:59");
  EXPECT_EQ(format_duration(59.6), "1:00");
  EXPECT_EQ(format_duration(3599), "59:59");
  EXPECT_EQ(format_duration(3723), "1:02:03");
}

TEST(ProgressFigures, SpeedAndTimeLeftFromTheAverage) {
  // 512 MiB of 2 GiB in 2 s: 256 MiB/s, 1.5 GiB left takes 6 s.
  ProgressFigures figures = progress_figures(536870912, 2147483648, 2.0);
  EXPECT_EQ(figures.percent, 25);
  EXPECT_EQ(figures.done, "512.0 MiB");
  EXPECT_EQ(figures.total, "2.0 GiB");
  EXPECT_EQ(figures.speed, "256.0 MiB/s");
  EXPECT_EQ(figures.time_left, "0:06");
}

TEST(ProgressFigures, NoSpeedBeforeAnyTimeOrData) {
  EXPECT_EQ(progress_figures(0, 100, 5.0).speed, "");
  EXPECT_EQ(progress_figures(50, 100, 0.0).time_left, "");
  EXPECT_EQ(progress_figures(0, 0, 1.0).percent, 0);
  EXPECT_EQ(progress_figures(100, 100, 1.0).percent, 100);
}

}  // namespace
}  // namespace tavo
