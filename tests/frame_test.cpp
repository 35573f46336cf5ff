// Frames drawn by the real renderFrame into a real window under a private X server, read back
// from GL; keys and music come from the scripted platform.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/render/frame.h"
#include "app/state.h"
#include "tests/fake_platform.h"

namespace {

constexpr int width = 1024;
constexpr int height = 768;

struct Picture {
    std::vector<unsigned char> rgb;
    unsigned char* at(int x, int y) { return &rgb[size_t((y * width + x) * 3)]; }
    bool operator==(const Picture&) const = default;
};

Picture readPicture()
{
    Picture p;
    p.rgb.resize(size_t(width * height * 3));
    // The software rasteriser swaps by copying, so the back buffer still holds the presented frame.
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, p.rgb.data());
    return p;
}

class Frames : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(glfwInit());
        glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
        glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
        glfwWindowHint(GLFW_SAMPLES, 0);
        window = glfwCreateWindow(width, height, "Quillvane", nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        glfwMakeContextCurrent(window);
        glfwSwapInterval(0);
        glEnable(GL_DEPTH_TEST);
        glPushMatrix();
        glfwShowWindow(window);
    }
    static void TearDownTestSuite() { glfwTerminate(); }

    void SetUp() override
    {
        fake::reset();
        assignDefaults();
        demoState.window = window;
        demoState.musicStream = 1;
    }

    static void frames(int count)
    {
        for (int i = 0; i < count; ++i)
            renderFrame();
    }

    static GLFWwindow* window;
};

GLFWwindow* Frames::window = nullptr;

TEST_F(Frames, FirstFrameShowsTheBackFaceShadingYellowToMagenta)
{
    frames(1);
    EXPECT_EQ(demoState.angleX, 0.3f);
    Picture p = readPicture();
    int left = width, right = -1, bottom = height, top = -1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned char* c = p.at(x, y);
            if (c[0] || c[1] || c[2]) {
                left = std::min(left, x);
                right = std::max(right, x);
                bottom = std::min(bottom, y);
                top = std::max(top, y);
            }
        }
    // Half the window each way, centred; 0.3 degrees adds a pixel or two of the sides.
    EXPECT_NEAR(right - left + 1, 512, 4);
    EXPECT_NEAR(top - bottom + 1, 384, 4);
    EXPECT_NEAR((left + right) / 2.0, width / 2.0, 3);
    EXPECT_NEAR((bottom + top) / 2.0, height / 2.0, 3);

    const unsigned char* leftEdge = p.at(left + 3, height / 2);
    const unsigned char* rightEdge = p.at(right - 3, height / 2);
    const unsigned char* middle = p.at(width / 2, height / 2);
    EXPECT_GT(leftEdge[0], 240);  // yellow
    EXPECT_GT(leftEdge[1], 230);
    EXPECT_LT(leftEdge[2], 25);
    EXPECT_GT(rightEdge[0], 240);  // magenta
    EXPECT_LT(rightEdge[1], 25);
    EXPECT_GT(rightEdge[2], 230);
    EXPECT_GT(middle[0], 240);  // half way between
    EXPECT_NEAR(middle[1], 128, 12);
    EXPECT_NEAR(middle[2], 128, 12);
}

TEST_F(Frames, AnglesAccumulateInSinglePrecision)
{
    frames(10);
    EXPECT_EQ(double(demoState.angleX), 2.999999761581421);
    EXPECT_EQ(double(demoState.angleY), 2.999999761581421);
}

TEST_F(Frames, RunningChangesThePicturePausedHoldsItSpaceStartsOver)
{
    frames(1);
    const Picture first = readPicture();
    frames(60);
    const Picture later = readPicture();
    EXPECT_NE(later, first) << "the cube did not turn";

    fake::press(GLFW_KEY_P);
    frames(1);
    const Picture paused = readPicture();
    const float held = demoState.angleX;
    frames(5);
    EXPECT_EQ(readPicture(), paused) << "a paused cube moved";
    EXPECT_EQ(demoState.angleX, held);

    fake::press(GLFW_KEY_P);
    fake::press(GLFW_KEY_SPACE);
    frames(1);
    EXPECT_EQ(demoState.angleX, 0.3f);
    EXPECT_EQ(readPicture(), first) << "Space in a running frame draws the first frame's picture";
}

TEST_F(Frames, EachForegroundFrameQueriesTheSixKeysOnceInOrder)
{
    frames(2);
    const std::vector<int> once = {GLFW_KEY_3, GLFW_KEY_5, GLFW_KEY_6, GLFW_KEY_I, GLFW_KEY_SPACE, GLFW_KEY_P};
    std::vector<int> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(fake::platform.queriedKeys, twice);

    // Fullscreen runs query I too, so a press there never lingers.
    runSettings.fullscreen = 1;
    fake::platform.queriedKeys.clear();
    frames(1);
    EXPECT_EQ(fake::platform.queriedKeys, once);
}

TEST_F(Frames, InTheBackgroundNoKeyActsButTheCubeAndMusicGoOn)
{
    fake::platform.foreground = false;
    fake::press(GLFW_KEY_P);
    fake::press(GLFW_KEY_3);
    frames(3);
    EXPECT_TRUE(fake::platform.queriedKeys.empty());
    EXPECT_EQ(demoState.paused, 0);
    EXPECT_EQ(runSettings.frameRate, 60);
    EXPECT_GT(demoState.angleX, 0.8f);
    EXPECT_EQ(fake::platform.musicCalls, (std::vector<std::string>{"play 1", "play 1", "play 1"}));

    // Typed elsewhere, they never reached the window: back in front, they still do nothing.
    fake::platform.foreground = true;
    frames(1);
    EXPECT_EQ(demoState.paused, 0);
    EXPECT_EQ(runSettings.frameRate, 60);
}

TEST_F(Frames, FrameRateKeysLaterInOrderWin)
{
    fake::press(GLFW_KEY_6);
    fake::press(GLFW_KEY_3);
    frames(1);
    EXPECT_EQ(runSettings.frameRate, 60);
    fake::press(GLFW_KEY_5);
    frames(1);
    EXPECT_EQ(runSettings.frameRate, 50);
    fake::press(GLFW_KEY_3);
    frames(1);
    EXPECT_EQ(runSettings.frameRate, 30);
}

TEST_F(Frames, PauseAndSpaceDriveMusicAndCubeTogether)
{
    // Every running frame tells the music to play, every paused one to pause.
    frames(2);
    fake::press(GLFW_KEY_P);
    frames(2);
    const float held = demoState.angleX;
    EXPECT_EQ(fake::platform.musicCalls, (std::vector<std::string>{"play 1", "play 1", "pause 1", "pause 1"}));
    EXPECT_EQ(fake::platform.screenCalls, (std::vector<std::string>{"awake", "asleep"}));

    // Space while paused: rewound, drawn at 0 and paused again in the same frame.
    fake::platform.musicCalls.clear();
    fake::press(GLFW_KEY_SPACE);
    frames(1);
    EXPECT_EQ(demoState.angleX, 0.0f);
    EXPECT_EQ(demoState.paused, 1);
    EXPECT_EQ(fake::platform.musicCalls, (std::vector<std::string>{"restart 1", "pause 1"}));
    EXPECT_NE(held, 0.0f);

    // P resumes from there.
    fake::platform.musicCalls.clear();
    fake::press(GLFW_KEY_P);
    frames(1);
    EXPECT_EQ(demoState.angleX, 0.3f);
    EXPECT_EQ(fake::platform.musicCalls, (std::vector<std::string>{"play 1"}));

    // Space and P in one running frame: restarted, then paused at 0 in that frame.
    fake::platform.musicCalls.clear();
    fake::press(GLFW_KEY_SPACE);
    fake::press(GLFW_KEY_P);
    frames(1);
    EXPECT_EQ(demoState.angleX, 0.0f);
    EXPECT_EQ(demoState.paused, 1);
    EXPECT_EQ(fake::platform.musicCalls, (std::vector<std::string>{"restart 1", "pause 1"}));
}

TEST_F(Frames, StatusLineKeyInWindowedAndFullscreenRuns)
{
    fake::platform.clock = 100.0;
    demoState.musicLengthSeconds = 227.4;
    // I from 0: the line shows from the next frame on.
    fake::press(GLFW_KEY_I);
    frames(1);
    EXPECT_EQ(runSettings.showStatus, 1);
    EXPECT_TRUE(fake::platform.titles.empty());
    frames(1);
    ASSERT_EQ(fake::platform.titles.size(), 1u);
    EXPECT_EQ(fake::platform.titles.back().rfind("Quillvane - ", 0), 0u);

    // I from 1: the plain title comes back in the same frame.
    fake::press(GLFW_KEY_I);
    frames(1);
    EXPECT_EQ(runSettings.showStatus, 0);
    EXPECT_EQ(fake::platform.titles.back(), "Quillvane");

    // I from 2: switched off without restoring the title.
    runSettings.showStatus = 2;
    fake::platform.titles.clear();
    fake::press(GLFW_KEY_I);
    frames(1);
    EXPECT_EQ(runSettings.showStatus, 0);
    for (const std::string& title : fake::platform.titles)
        EXPECT_NE(title, "Quillvane");

    // Fullscreen: I does nothing and no line is shown, even switched on.
    runSettings.fullscreen = 1;
    runSettings.showStatus = 1;
    fake::platform.titles.clear();
    fake::press(GLFW_KEY_I);
    frames(3);
    EXPECT_EQ(runSettings.showStatus, 1);
    EXPECT_TRUE(fake::platform.titles.empty());
}

} // namespace
