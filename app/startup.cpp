#include <GLFW/glfw3.h>

#include <cstdint>

#include "app/demo.h"
#include "app/settings/settings.h"
#include "app/state.h"
#include "platform/desktop/desktop.h"

void getDesktopSize()
{
    measurePrimaryMonitor(&desktopWidth, &desktopHeight);
}

int centredPosition(int origin, int modeSize, int windowSize)
{
    return origin + (modeSize - windowSize) / 2;
}

void centerOnMonitor(GLFWwindow* window, GLFWmonitor* monitor)
{
    int mx = 0, my = 0, mw = 0, mh = 0, w = 0, h = 0;
    if (!getMonitorArea(monitor, &mx, &my, &mw, &mh))
        return;
    glfwGetWindowSize(window, &w, &h);
    setWindowAreaPos(window, centredPosition(mx, mw, w), centredPosition(my, mh, h));
}

// The largest size X carries: its sizes are 16-bit and its coordinates signed 16-bit.
constexpr int32_t largestWindowSide = 32767;

// A size no window can have fails the window's creation, as the window library fails a side of 0:
// below that it asserts, and past X's sizes they would wrap. Only a settings file holds such a size.
static bool windowSizeFits(int32_t width, int32_t height)
{
    return width >= 1 && height >= 1 && width <= largestWindowSide && height <= largestWindowSide;
}

bool takesSampleHint(int samples)
{
    switch (samples) {
    case 0: case 2: case 4: case 8: case 16: case 32:
        return true;
    default:
        return false;
    }
}

int runDemo()
{
    beginDesktopSession();
    setShutdownOnConnectionEnd(shutDownWithoutWindowLibrary);
    assignDefaults();
    getDesktopSize();
    if (useSettingsFile == 1)
        readSettings();

    if (runSettings.askFullscreen == 1) {
        const int answer = askYesNoCancel(demoState.title.c_str(), "Do you wish to run in Fullscreen?");
        if (answer == answerYes)
            runSettings.fullscreen = 1;
        else if (answer == answerNo)
            runSettings.fullscreen = 0;
        else if (answer == answerCancel)
            return 0;
    }

    // Ctrl+C, logout or kill before the window library: the run ends as Cancel ends it.
    if (closeRequested())
        return 0;
    forgetDeadWindowManager();
    if (!glfwInit())
        return -1;
    followWindowDestruction();
    startScreenKeeper();

    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    // WM_CLASS, so that a dock matches the window to the desktop entry's StartupWMClass.
    glfwWindowHintString(GLFW_X11_CLASS_NAME, programName);
    glfwWindowHintString(GLFW_X11_INSTANCE_NAME, programName);
    if (takesSampleHint(runSettings.msaaSamples))
        glfwWindowHint(GLFW_SAMPLES, runSettings.msaaSamples);

    // Asked to end meanwhile: no window is made.
    if (closeRequested()) {
        stopScreenKeeper();
        glfwTerminate();
        return 0;
    }
    GLFWwindow* window = nullptr;
    if (runSettings.fullscreen == 1) {
        runSettings.savedWidth = runSettings.windowWidth;
        runSettings.savedHeight = runSettings.windowHeight;
        runSettings.windowWidth = desktopWidth;
        runSettings.windowHeight = desktopHeight;
        if (windowSizeFits(runSettings.windowWidth, runSettings.windowHeight))
            window = glfwCreateWindow(runSettings.windowWidth, runSettings.windowHeight, demoState.title.c_str(),
                                      glfwGetPrimaryMonitor(), nullptr);
        if (window) {
            coverPrimaryMonitor(window);
            while (showCursor(window, false) >= 0) {
            }
        }
    } else if (windowSizeFits(runSettings.windowWidth, runSettings.windowHeight)) {
        window = glfwCreateWindow(runSettings.windowWidth, runSettings.windowHeight, demoState.title.c_str(),
                                  nullptr, nullptr);
    }
    if (!window) {
        glfwTerminate();
        stopScreenKeeper();
        return -1;
    }
    demoState.window = window;

    // From here on the window exists: an end asked for during the set-up (Ctrl+C, logout, kill, the
    // window destroyed by another client) takes the rest of it away, the window never shown, and
    // the run ends as the close button ends it.
    if (runSettings.fullscreen != 1 && !closeRequested()) {
        // A stored place on a monitor that is gone, or past an edge, would hide the window: it is
        // then placed as a first run places it.
        int width = 0, height = 0;
        glfwGetWindowSize(window, &width, &height);
        const bool shows = frameWouldShow(runSettings.windowX, runSettings.windowY, width, height);
        setWindowFramePos(window, shows ? runSettings.windowX : 0, shows ? runSettings.windowY : 0);
        if (runSettings.centerWindow == 1 || !shows)
            centerOnMonitor(window, glfwGetPrimaryMonitor());
        if (runSettings.centerWindow == 1)
            runSettings.centerWindow = 0;
    } else if (settingsLoaded == 0) {
        runSettings.centerWindow = 1;
    }

    if (!closeRequested()) {
        followWindowInput(window);
        glfwMakeContextCurrent(window);
        if (runSettings.vsync == 0)
            glfwSwapInterval(0);
        else if (runSettings.vsync == 1)
            glfwSwapInterval(1);
        glEnable(GL_DEPTH_TEST);
        glPushMatrix();
    }
    if (!closeRequested())
        showWindowAndFinishPlacement(window);

    return playDemo();
}
