// The primary monitor, for the desktop layer's own files.
#pragma once

#include <X11/Xlib.h>

// The primary monitor's area on the root: RandR's primary monitor, or its first, else the whole
// root. The one answer for the desktop size, the question's place, the monitor the window is
// centred on and the one fullscreen covers, so that they never disagree.
void primaryMonitorArea(Display* display, int* x, int* y, int* width, int* height);
