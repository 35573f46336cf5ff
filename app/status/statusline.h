// The window title's status line: frames counted per interval of at least a second, and the play
// position against the music's length.
#pragma once

#include <cstddef>
#include <cstdint>

void updateStatusLine();

// "<title> - <frames> FPS - mm:ss / mm:ss" into out; returns the length written.
int formatStatusLine(char* out, size_t size, const char* title, int32_t frames, double positionSeconds,
                     double lengthSeconds);
