// The whole run, start-up to shutdown, in a real window under a private X server, with the clock, the
// music position and the keys scripted.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/demo.h"
#include "tests/fake_platform.h"

namespace {

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quillvane-loop-XXXXXX";
        folder = mkdtemp(pattern);
        ASSERT_EQ(chdir(folder.c_str()), 0);
        fake::reset();
        fake::platform.answer = 7;  // No
        fake::platform.musicLengthBytes = 176400;  // one second
        fake::platform.positionBytesPerSecond = 176400;
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir("/"), 0);
        std::system(("rm -rf " + folder).c_str());
    }
    // Runs the demo; the test fails when the run had to be stopped for never ending.
    static void run()
    {
        EXPECT_EQ(runDemo(), 0);
        ASSERT_LT(fake::platform.clockReads, 1000000u) << "the run never ended";
    }
    std::string folder;
};

TEST_F(MainLoop, PacesFramesMakesNoLateOneUpAndClosesAtExactlyTheLength)
{
    fake::platform.clockScript = {0.0, 0.01, 1.0 / 60, 0.02, 0.05, 0.06, 0.07, 0.9999, 1.0, 1.0};
    run();
    // The next frame is measured from the late one at 0.05; 0.9999 is still short of the length.
    EXPECT_EQ(fake::platform.frameClocks, (std::vector<double>{1.0 / 60, 0.05, 0.07, 0.9999}));
    EXPECT_EQ(fake::platform.clockReads, 9u) << "not closed in the turn the position met the length";
    // The screen is kept awake from the first played frame and let go at the end of the music.
    EXPECT_EQ(fake::platform.screenCalls, (std::vector<std::string>{"start", "awake", "stop"}));
}

TEST_F(MainLoop, EscapeEndsTheRunOnlyFromTheForeground)
{
    fake::press(GLFW_KEY_ESCAPE);
    fake::platform.clockScript = {0.0, 0.5, 1.0};
    fake::platform.foreground = false;
    run();
    EXPECT_EQ(fake::platform.clockReads, 3u) << "the run did not go on to the end of the music";
    EXPECT_EQ(std::count(fake::platform.queriedKeys.begin(), fake::platform.queriedKeys.end(), GLFW_KEY_ESCAPE), 0);

    fake::reset();
    fake::platform.answer = 7;
    fake::platform.musicLengthBytes = 176400;
    fake::press(GLFW_KEY_ESCAPE);
    run();
    EXPECT_EQ(fake::platform.clockReads, 1u) << "Escape in the foreground did not end the first turn";
}

// A frame rate of 0 or below, which only a settings file can hold, is paced at 60.
TEST_F(MainLoop, FrameRateOfZeroOrBelowIsPacedAtSixty)
{
    for (const char* rate : {"0", "-5"}) {
        std::ofstream("settings.conf") << "0\n0\n1024\n768\n1\n0\n0\n1\n" << rate << "\n0\n0";
        fake::reset();
        fake::platform.musicLengthBytes = 176400;
        fake::platform.positionBytesPerSecond = 176400;
        fake::platform.clockScript = {0.0, 0.01, 1.0 / 60, 0.03, 1.0};
        run();
        EXPECT_EQ(fake::platform.frameClocks, (std::vector<double>{1.0 / 60, 1.0})) << "frame rate " << rate;
    }
}

} // namespace
