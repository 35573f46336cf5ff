// A scripted desktop and music service: keys pressed on demand, a clock set by the test, and a log
// of every music call and title change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

struct Platform {
    int answer = 0;
    int32_t desktopRight = 1920;
    int32_t desktopBottom = 1080;
    bool foreground = true;
    bool closeRequested = false;
    double clock = 0.0;
    // When given, each clock query takes the next value and the last one repeats.
    std::vector<double> clockScript;
    size_t clockReads = 0;
    // When set, the position follows the clock at this many bytes a second, up to the length.
    double positionBytesPerSecond = 0.0;
    std::vector<double> frameClocks;  // the clock at each play or pause call, one a frame
    std::vector<int> pressedKeys;  // pressed since the previous query of each
    std::vector<int> queriedKeys;  // every key query, in order
    std::vector<std::string> titles;
    std::vector<std::string> musicCalls;
    // The screen keeper's start, stop and each change of request: "start", "awake", "asleep", "stop".
    std::vector<std::string> screenCalls;
    bool screenAwake = false;
    uint64_t musicLengthBytes = 0;
    uint64_t musicPositionBytes = 0;
};

extern Platform platform;

void reset();
// A key typed into the demo's window. Typed while another window has the focus, it never reaches
// the demo, as with the real layer.
void press(int key);

} // namespace fake
