// A trace of the run for the benchmarks, compiled in only with QUILLVANE_TRACE. When the environment
// variable QUILLVANE_TRACE names a file, the run appends to it at the end: each rendered frame's
// clock values, the loop turns before it and the music position it drew; how the clock maps to
// realtime; the moment the first frame was presented, the moment the music ended, the music's
// underruns and the peak resident memory. Recorded in memory while running, so the loop never waits
// on a file.
#pragma once

#include <cstdint>

#ifdef QUILLVANE_TRACE
void traceFrameStart(double clock);
void traceFramePresented();
// Reads the clock itself, so that an untraced build reads it no more than it needs.
void traceFrameEnd();
void traceMusicEnd();
void traceFinish();
extern uint64_t traceLoopTurns;
inline void traceLoopTurn()
{
    ++traceLoopTurns;
}
#else
inline void traceFrameStart(double) {}
inline void traceFramePresented() {}
inline void traceFrameEnd() {}
inline void traceMusicEnd() {}
inline void traceFinish() {}
inline void traceLoopTurn() {}
#endif
