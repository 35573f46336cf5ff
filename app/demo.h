// The entry point's two halves: start-up and window set-up, then music and the main loop.
#pragma once

struct GLFWmonitor;
struct GLFWwindow;

// Runs the whole demo; returns the process exit status: 0, or -1 when the window library or the
// window cannot be had.
int runDemo();

// Fills desktopWidth and desktopHeight.
void getDesktopSize();

// Centres the window's drawable area on the monitor's current video mode.
void centerOnMonitor(GLFWwindow* window, GLFWmonitor* monitor);

// Where a drawable area of windowSize starts when centred on a monitor at origin with modeSize.
int centredPosition(int origin, int modeSize, int windowSize);

// Whether a sample count is one the window library is asked for.
bool takesSampleHint(int samples);

// Opens and starts the music, runs the main loop and shuts down; returns the exit status.
int playDemo();

// The shutdown for a run whose window's connection the server ended (xkill): the place taken back
// as last measured and the settings written, without the window library; returns the exit status.
int shutDownWithoutWindowLibrary();
