#include <GLFW/glfw3.h>

#include <cstdio>

#include "app/demo.h"
#include "app/render/frame.h"
#include "app/settings/settings.h"
#include "app/state.h"
#include "app/trace.h"
#include "platform/desktop/desktop.h"
#include "platform/music/music.h"

static void startMusic()
{
    musicInit(1, 44100, 0, demoState.window, nullptr);
    demoState.musicStream = musicStreamCreateFile(false, demoState.musicFile, 0, 0, 0);
    // The run still goes on, and ends at once; but a silent exit 0 would hide why.
    if (demoState.musicStream == 0)
        std::fprintf(stderr, "quillvane: cannot play %s: %s\n", demoState.musicFile, musicLastError());
    const uint64_t length = musicChannelGetLength(demoState.musicStream, musicPosByte);
    demoState.musicLengthSeconds = musicChannelBytesToSeconds(demoState.musicStream, length);
    musicChannelPlay(demoState.musicStream, true);
}

// Polls as fast as it can; only rendering is paced. Nothing here may block, allocate or talk to
// the X server outside a rendered frame.
static void runMainLoop()
{
    GLFWwindow* window = demoState.window;
    while (!glfwWindowShouldClose(window)) {
        const double t = readClock();
        traceLoopTurn();
        // A frame rate of 0 or below, possible only from a settings file, would never render again
        // and so never see a key or the close button: such a run is paced at the default rate.
        const double interval = runSettings.frameRate > 0 ? 1.0 / runSettings.frameRate : 1.0 / 60;
        if (t - demoState.lastFrameTime >= interval) {
            demoState.lastFrameTime = t;
            traceFrameStart(t);
            renderFrame();
            traceFrameEnd();
        }
        const uint64_t position = musicChannelGetPosition(demoState.musicStream, musicPosByte);
        demoState.musicPositionSeconds = musicChannelBytesToSeconds(demoState.musicStream, position);
        if (demoState.musicPositionSeconds == demoState.musicLengthSeconds) {
            traceMusicEnd();
            glfwSetWindowShouldClose(window, GLFW_TRUE);
        }
        if (isForegroundWindow(window) && getKeyState(GLFW_KEY_ESCAPE) != 0)
            glfwSetWindowShouldClose(window, GLFW_TRUE);
        // Ctrl+C, logout or kill: the same shutdown as the close button.
        if (closeRequested())
            glfwSetWindowShouldClose(window, GLFW_TRUE);
    }
}

static bool placeTakenBack = false;

static void takePlaceBack()
{
    if (!placeTakenBack && runSettings.fullscreen != 1 && !isWindowMinimised(demoState.window))
        getWindowFramePos(demoState.window, &runSettings.windowX, &runSettings.windowY);
    placeTakenBack = true;
}

static int shutDown()
{
    takePlaceBack();
    glfwTerminate();
    demoState.window = nullptr;
    if (useSettingsFile == 1)
        writeSettings();
    // Last: it may wait for the bus's late answer, the window gone and the file written meanwhile.
    stopScreenKeeper();
    traceFinish();
    return 0;
}

int shutDownWithoutWindowLibrary()
{
    // Before the window exists, the end of a Cancel: nothing to take back or write.
    if (demoState.window || placeTakenBack) {
        takePlaceBack();
        if (useSettingsFile == 1)
            writeSettings();
    }
    // Last, as in the plain shutdown: it may wait for the bus's late answer.
    stopScreenKeeper();
    traceFinish();
    return 0;
}

int playDemo()
{
    // Asked to end during the set-up: nothing is played or drawn.
    if (!closeRequested()) {
        startMusic();
        runMainLoop();
    }
    return shutDown();
}
