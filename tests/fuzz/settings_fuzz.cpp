// The settings reader against the stream-extraction oracle, on any bytes at all.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/settings/settings.h"
#include "app/state.h"
#include "tests/settings_oracle.h"

static std::array<int32_t, 11> fields()
{
    const RunSettings& r = runSettings;
    return {r.windowX,    r.windowY, r.windowWidth, r.windowHeight, r.centerWindow, r.fullscreen,
            r.msaaSamples, r.vsync,  r.frameRate,   r.showStatus,   r.askFullscreen};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/dev/shm/quillvane-settings-fuzz-" + std::to_string(getpid());
    const std::string text(reinterpret_cast<const char*>(data), size);
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);

    assignDefaults();
    demoState.settingsPath = path;
    const std::array<int32_t, 11> expected = expectedSettings(text, fields());
    readSettings();
    if (fields() != expected || settingsLoaded != 1)
        std::abort();
    return 0;
}
