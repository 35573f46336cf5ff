#include "app/state.h"

RunSettings runSettings;
DemoState demoState;

int32_t useSettingsFile;
int32_t settingsLoaded;
int32_t desktopWidth;
int32_t desktopHeight;

const char* const programName = "Quillvane";

#ifdef QUILLVANE_SETTINGS_FILE
static constexpr int32_t settingsFileSwitch = 1;
#else
static constexpr int32_t settingsFileSwitch = 0;
#endif

void assignDefaults()
{
    runSettings.windowX = 0;
    runSettings.windowY = 0;
    runSettings.windowWidth = defaultWindowWidth;
    runSettings.windowHeight = defaultWindowHeight;
    runSettings.savedWidth = 0;
    runSettings.savedHeight = 0;
    runSettings.centerWindow = 1;
    runSettings.fullscreen = 0;
    runSettings.msaaSamples = 4;
    runSettings.vsync = 1;
    runSettings.frameRate = 60;
    runSettings.showStatus = 0;
    runSettings.askFullscreen = 1;

    useSettingsFile = settingsFileSwitch;
    settingsLoaded = 0;
    desktopWidth = 0;
    desktopHeight = 0;

    demoState.title = programName;
    demoState.settingsPath = "settings.conf";
    demoState.musicFile = "sample.ogg";
    demoState.window = nullptr;
    demoState.musicStream = 0;
    demoState.musicLengthSeconds = 0.0;
    demoState.musicPositionSeconds = 0.0;
    demoState.lastFrameTime = 0.0;
    demoState.angleX = 0.0f;
    demoState.angleY = 0.0f;
    demoState.paused = 0;
}
