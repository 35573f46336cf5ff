#include <gtest/gtest.h>

#include <string>

#include "app/state.h"
#include "app/status/statusline.h"
#include "tests/fake_platform.h"

namespace {

std::string statusLine(int frames, double position, double length)
{
    char text[256];
    formatStatusLine(text, sizeof text, "Quillvane", frames, position, length);
    return text;
}

std::string times(double position)
{
    const std::string line = statusLine(0, position, 0.0);
    const size_t start = line.rfind(" - ") + 3;
    return line.substr(start, line.find(" / ") - start);
}

TEST(StatusText, PiecesJoinExactly)
{
    EXPECT_EQ(statusLine(0, 12.7, 227.4), "Quillvane - 0 FPS - 00:12 / 03:47");
    EXPECT_EQ(statusLine(60, 65.9, 227.4), "Quillvane - 60 FPS - 01:05 / 03:47");
}

TEST(StatusText, TimesAreCutNeverCarried)
{
    EXPECT_EQ(times(0.0), "00:00");
    EXPECT_EQ(times(9.99), "00:09");
    EXPECT_EQ(times(59.999), "00:59");
    EXPECT_EQ(times(599.9), "09:59");
    EXPECT_EQ(times(600.0), "10:00");
    EXPECT_EQ(times(3599.0), "59:59");
    EXPECT_EQ(times(3600.0), "60:00");
    EXPECT_EQ(times(6000.0), "100:00");
    // What an unplayable stream reports, and values no integer holds, still format without fault.
    EXPECT_EQ(times(-1.0), "00:0-1");
    EXPECT_EQ(times(1e300), "35791394:07");
}

// The status line's four values live for the whole process, so one test walks it through its life.
TEST(StatusLine, RefreshesOncePerIntervalOfAtLeastASecond)
{
    fake::reset();
    assignDefaults();
    demoState.musicLengthSeconds = 227.4;
    demoState.musicPositionSeconds = 12.7;
    auto& titles = fake::platform.titles;

    // The first call shows 0 at once and starts the first interval.
    fake::platform.clock = 5.0;
    updateStatusLine();
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_EQ(titles.back(), "Quillvane - 0 FPS - 00:12 / 03:47");

    // 59 calls under a second only count.
    for (int i = 1; i < 60; ++i) {
        fake::platform.clock = 5.0 + i / 60.0;
        updateStatusLine();
    }
    fake::platform.clock = 5.999;
    updateStatusLine();
    EXPECT_EQ(titles.size(), 1u);

    // Exactly one second after the start refreshes, with this call counted.
    demoState.musicPositionSeconds = 65.9;
    fake::platform.clock = 6.0;
    updateStatusLine();
    ASSERT_EQ(titles.size(), 2u);
    EXPECT_EQ(titles.back(), "Quillvane - 61 FPS - 01:05 / 03:47");

    // A late refresh starts the next interval at its own clock value: nothing is carried over.
    fake::platform.clock = 7.3;
    updateStatusLine();
    EXPECT_EQ(titles.back(), "Quillvane - 1 FPS - 01:05 / 03:47");
    fake::platform.clock = 8.299;
    updateStatusLine();
    EXPECT_EQ(titles.size(), 3u);
    fake::platform.clock = 8.3;
    updateStatusLine();
    EXPECT_EQ(titles.size(), 4u);
    EXPECT_EQ(titles.back(), "Quillvane - 2 FPS - 01:05 / 03:47");

    // Switched off after three more calls and on again much later: the first call refreshes at
    // once with the count left from before plus one; the first-call behaviour never returns.
    for (double t : {8.4, 8.5, 8.6}) {
        fake::platform.clock = t;
        updateStatusLine();
    }
    fake::platform.clock = 20.0;
    updateStatusLine();
    EXPECT_EQ(titles.size(), 5u);
    EXPECT_EQ(titles.back(), "Quillvane - 4 FPS - 01:05 / 03:47");
    fake::platform.clock = 20.5;
    updateStatusLine();
    EXPECT_EQ(titles.size(), 5u);
}

} // namespace
