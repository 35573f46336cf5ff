// The two process-wide records and the values that live beside them.
#pragma once

#include <cstdint>
#include <string>

struct GLFWwindow;

// What a settings file carries from one run to the next.
struct RunSettings {
    int32_t windowX;
    int32_t windowY;
    int32_t windowWidth;
    int32_t windowHeight;
    int32_t savedWidth;
    int32_t savedHeight;
    int32_t centerWindow;
    int32_t fullscreen;
    int32_t msaaSamples;
    int32_t vsync;
    int32_t frameRate;
    int32_t showStatus;
    int32_t askFullscreen;
};

// What exists only while the demo runs.
struct DemoState {
    std::string title;
    std::string settingsPath;
    const char* musicFile;
    GLFWwindow* window;
    uint32_t musicStream;
    double musicLengthSeconds;
    double musicPositionSeconds;
    double lastFrameTime;
    float angleX;
    float angleY;
    int32_t paused;
};

// The windowed size of a run without a settings file.
constexpr int32_t defaultWindowWidth = 1024;
constexpr int32_t defaultWindowHeight = 768;

extern RunSettings runSettings;
extern DemoState demoState;

extern int32_t useSettingsFile;
extern int32_t settingsLoaded;
extern int32_t desktopWidth;
extern int32_t desktopHeight;

extern const char* const programName;

// Gives every setting and every state field its start value; the first thing the entry point does.
void assignDefaults();
