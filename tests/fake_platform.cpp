#include "tests/fake_platform.h"

#include <GLFW/glfw3.h>

#include <algorithm>
#include <string>

#include "platform/desktop/desktop.h"
#include "platform/music/music.h"

namespace fake {

Platform platform;

void reset()
{
    platform = Platform{};
}

void press(int key)
{
    if (platform.foreground)
        platform.pressedKeys.push_back(key);
}

} // namespace fake

using fake::platform;

int askYesNoCancel(const char*, const char*)
{
    return platform.answer;
}

void measurePrimaryMonitor(int32_t* right, int32_t* bottom)
{
    *right = platform.desktopRight;
    *bottom = platform.desktopBottom;
}

bool getMonitorArea(GLFWmonitor* monitor, int* x, int* y, int* width, int* height)
{
    const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
    if (!mode)
        return false;
    glfwGetMonitorPos(monitor, x, y);
    *width = mode->width;
    *height = mode->height;
    return true;
}

bool frameWouldShow(int32_t, int32_t, int, int) { return true; }
void setWindowFramePos(GLFWwindow*, int, int) {}
void setWindowAreaPos(GLFWwindow* window, int x, int y)
{
    glfwSetWindowPos(window, x, y);
}
void coverPrimaryMonitor(GLFWwindow*) {}
void forgetDeadWindowManager() {}
bool getWindowFramePos(GLFWwindow*, int*, int*) { return false; }
void showWindowAndFinishPlacement(GLFWwindow* window)
{
    glfwShowWindow(window);
}
int showCursor(GLFWwindow*, bool show)
{
    return show ? 0 : -1;
}
void followWindowDestruction() {}
void setShutdownOnConnectionEnd(int (*)()) {}
void followWindowInput(GLFWwindow*) {}
void beginDesktopSession() {}

void startScreenKeeper()
{
    platform.screenCalls.push_back("start");
}
void keepScreenAwake(bool awake)
{
    if (awake != platform.screenAwake)
        platform.screenCalls.push_back(awake ? "awake" : "asleep");
    platform.screenAwake = awake;
}
void stopScreenKeeper()
{
    platform.screenCalls.push_back("stop");
    platform.screenAwake = false;
}

bool closeRequested()
{
    return platform.closeRequested;
}

bool isForegroundWindow(GLFWwindow*)
{
    return platform.foreground;
}

int32_t getKeyState(int key)
{
    platform.queriedKeys.push_back(key);
    auto& keys = platform.pressedKeys;
    auto it = std::find(keys.begin(), keys.end(), key);
    if (it == keys.end())
        return 0;
    keys.erase(it);
    return keyPressedBit;
}

void setWindowTitle(GLFWwindow*, const char* text)
{
    platform.titles.push_back(text);
}

bool isWindowMinimised(GLFWwindow*)
{
    return false;
}

double readClock()
{
    if (!platform.clockScript.empty())
        platform.clock = platform.clockScript[std::min(platform.clockReads, platform.clockScript.size() - 1)];
    ++platform.clockReads;
    // A scripted run that would never end is ended, and the test sees it in clockReads.
    if (platform.clockReads > 1000000)
        platform.closeRequested = true;
    return platform.clock;
}

bool musicInit(int, uint32_t, uint32_t, void*, const void*)
{
    platform.musicCalls.push_back("init");
    return true;
}

uint32_t musicStreamCreateFile(bool, const void*, uint64_t, uint64_t, uint32_t)
{
    platform.musicCalls.push_back("create");
    return 1;
}

uint64_t musicChannelGetLength(uint32_t, uint32_t)
{
    return platform.musicLengthBytes;
}

uint64_t musicChannelGetPosition(uint32_t, uint32_t)
{
    if (platform.positionBytesPerSecond > 0)
        return std::min(platform.musicLengthBytes, uint64_t(platform.clock * platform.positionBytesPerSecond));
    return platform.musicPositionBytes;
}

double musicChannelBytesToSeconds(uint32_t, uint64_t bytes)
{
    return double(bytes) / 176400.0;
}

bool musicChannelPlay(uint32_t handle, bool restart)
{
    if (!restart)
        platform.frameClocks.push_back(platform.clock);
    platform.musicCalls.push_back((restart ? "restart " : "play ") + std::to_string(handle));
    return true;
}

bool musicChannelPause(uint32_t handle)
{
    platform.frameClocks.push_back(platform.clock);
    platform.musicCalls.push_back("pause " + std::to_string(handle));
    return true;
}

const char* musicLastError()
{
    return "scripted";
}

uint64_t musicChannelUnderruns(uint32_t)
{
    return 0;
}
