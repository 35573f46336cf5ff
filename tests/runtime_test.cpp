#include <gtest/gtest.h>

#include "app/demo.h"
#include "app/state.h"

TEST(Defaults, FreshRunStartsFromTheDocumentedValues)
{
    runSettings.frameRate = 5;
    demoState.angleX = 9.0f;
    assignDefaults();
    EXPECT_EQ(runSettings.windowX, 0);
    EXPECT_EQ(runSettings.windowY, 0);
    EXPECT_EQ(runSettings.windowWidth, 1024);
    EXPECT_EQ(runSettings.windowHeight, 768);
    EXPECT_EQ(runSettings.savedWidth, 0);
    EXPECT_EQ(runSettings.savedHeight, 0);
    EXPECT_EQ(runSettings.centerWindow, 1);
    EXPECT_EQ(runSettings.fullscreen, 0);
    EXPECT_EQ(runSettings.msaaSamples, 4);
    EXPECT_EQ(runSettings.vsync, 1);
    EXPECT_EQ(runSettings.frameRate, 60);
    EXPECT_EQ(runSettings.showStatus, 0);
    EXPECT_EQ(runSettings.askFullscreen, 1);
    EXPECT_EQ(useSettingsFile, 0);
    EXPECT_EQ(settingsLoaded, 0);
    EXPECT_EQ(demoState.title, "Quillvane");
    EXPECT_STREQ(demoState.musicFile, "sample.ogg");
    EXPECT_EQ(demoState.settingsPath, "settings.conf");
    EXPECT_EQ(demoState.musicStream, 0u);
    EXPECT_EQ(demoState.lastFrameTime, 0.0);
    EXPECT_EQ(demoState.angleX, 0.0f);
    EXPECT_EQ(demoState.angleY, 0.0f);
    EXPECT_EQ(demoState.paused, 0);
}

TEST(WindowHints, OnlyTheListedSampleCountsAreAskedFor)
{
    for (int samples : {0, 2, 4, 8, 16, 32})
        EXPECT_TRUE(takesSampleHint(samples)) << samples;
    for (int samples : {-1, 1, 3, 6, 12, 24, 64, 2147483647})
        EXPECT_FALSE(takesSampleHint(samples)) << samples;
}

TEST(Centring, TruncatesTowardZeroAndKeepsTheMonitorOrigin)
{
    EXPECT_EQ(centredPosition(0, 1920, 1024), 448);
    EXPECT_EQ(centredPosition(0, 1080, 768), 156);
    // Odd leftovers are cut, not rounded.
    EXPECT_EQ(centredPosition(0, 1921, 1024), 448);
    EXPECT_EQ(centredPosition(0, 1366, 1023), 171);
    // A window larger than the monitor: the negative half truncates toward zero.
    EXPECT_EQ(centredPosition(0, 800, 1025), -112);
    EXPECT_EQ(centredPosition(0, 800, 1023), -111);
    // Monitors left of or above the primary one have negative origins.
    EXPECT_EQ(centredPosition(-1280, 1280, 1024), -1152);
    EXPECT_EQ(centredPosition(-1080, 1080, 768), -924);
}
