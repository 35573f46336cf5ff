#include <GLFW/glfw3.h>

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

    forgetDeadWindowManager();
    if (!glfwInit())
        return -1;
    startScreenKeeper();

    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    // WM_CLASS, so that a dock matches the window to the desktop entry's StartupWMClass.
    glfwWindowHintString(GLFW_X11_CLASS_NAME, programName);
    glfwWindowHintString(GLFW_X11_INSTANCE_NAME, programName);
    if (takesSampleHint(runSettings.msaaSamples))
        glfwWindowHint(GLFW_SAMPLES, runSettings.msaaSamples);

    GLFWwindow* window = nullptr;
    if (runSettings.fullscreen == 1) {
        runSettings.savedWidth = runSettings.windowWidth;
        runSettings.savedHeight = runSettings.windowHeight;
        runSettings.windowWidth = desktopWidth;
        runSettings.windowHeight = desktopHeight;
        window = glfwCreateWindow(runSettings.windowWidth, runSettings.windowHeight, demoState.title.c_str(),
                                  glfwGetPrimaryMonitor(), nullptr);
        if (window) {
            coverPrimaryMonitor(window);
            while (showCursor(window, false) >= 0) {
            }
        }
    } else {
        window = glfwCreateWindow(runSettings.windowWidth, runSettings.windowHeight, demoState.title.c_str(),
                                  nullptr, nullptr);
    }
    if (!window) {
        stopScreenKeeper();
        glfwTerminate();
        return -1;
    }
    demoState.window = window;

    if (runSettings.fullscreen != 1) {
        setWindowFramePos(window, runSettings.windowX, runSettings.windowY);
        if (runSettings.centerWindow == 1) {
            centerOnMonitor(window, glfwGetPrimaryMonitor());
            runSettings.centerWindow = 0;
        }
    } else if (settingsLoaded == 0) {
        runSettings.centerWindow = 1;
    }

    followWindowInput(window);
    glfwMakeContextCurrent(window);
    if (runSettings.vsync == 0)
        glfwSwapInterval(0);
    else if (runSettings.vsync == 1)
        glfwSwapInterval(1);
    glEnable(GL_DEPTH_TEST);
    glPushMatrix();
    showWindowAndFinishPlacement(window);

    return playDemo();
}
