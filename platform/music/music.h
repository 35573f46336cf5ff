// The music service: streams one file through the desktop's sound server (or SDL's audio where none
// answers, or a silent clock where nothing plays), with play, pause, restart, and the length and the
// position being heard, in bytes of 16-bit PCM at the file's own rate and channel count (a chain's
// first link's: later links are converted to it).
#pragma once

#include <cstdint>

constexpr uint32_t musicPosByte = 0;
// Length and position of a handle that names no stream.
constexpr uint64_t musicErrorValue = ~uint64_t{0};

// device: -1 or 1 the default output, 0 no sound. Where no output can be opened the service plays
// to a silent clock, which takes the music in real time. SDL_AUDIODRIVER in the environment chooses
// SDL's audio with that driver over the sound server. It names no session bus to the process
// from then on (DBUS_SESSION_BUS_ADDRESS): what needs the bus reads its address before.
bool musicInit(int device, uint32_t freq, uint32_t flags, void* window, const void* deviceGuid);

// Opens a file in any format the decoder recognises by content. Returns 0 when it cannot be opened
// or decoded; musicLastError then says why. Only whole files are supported (offset and length 0).
uint32_t musicStreamCreateFile(bool fromMemory, const void* file, uint64_t offset, uint64_t length,
                               uint32_t flags);

uint64_t musicChannelGetLength(uint32_t handle, uint32_t mode);
// Bytes of the frames heard since the last restart; equals the length once the last frame has been
// played.
uint64_t musicChannelGetPosition(uint32_t handle, uint32_t mode);
// -1.0 for a handle that names no stream.
double musicChannelBytesToSeconds(uint32_t handle, uint64_t bytes);
// restart: from the beginning. Otherwise resumes a paused stream where it stopped.
bool musicChannelPlay(uint32_t handle, bool restart);
bool musicChannelPause(uint32_t handle);

// Beyond the demo's needs: for the program's one error line, tests and benchmarks.
const char* musicLastError();
uint64_t musicChannelUnderruns(uint32_t handle);
// Which output plays the stream now: "server", "sdl" or "silent".
const char* musicOutputName(uint32_t handle);
// Output records the stream keeps, the current one among them.
uint32_t musicOutputsKept(uint32_t handle);
bool musicStreamFree(uint32_t handle);
void musicFree();
