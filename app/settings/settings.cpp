#include "app/settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/state.h"

// The file's lines, in order.
static int32_t* const settingsFields[] = {
    &runSettings.windowX,      &runSettings.windowY,    &runSettings.windowWidth, &runSettings.windowHeight,
    &runSettings.centerWindow, &runSettings.fullscreen, &runSettings.msaaSamples, &runSettings.vsync,
    &runSettings.frameRate,    &runSettings.showStatus, &runSettings.askFullscreen,
};
constexpr int settingsFieldCount = sizeof settingsFields / sizeof settingsFields[0];

static bool isBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool isDigit(int c)
{
    return c >= '0' && c <= '9';
}

// One decimal integer after white space. No digits: 0 and failure; out of range: the nearer limit
// and failure; end of file before anything: failure with the field unchanged.
static bool extractInteger(FILE* file, int32_t* field)
{
    int c = getc(file);
    while (c != EOF && isBlank(c))
        c = getc(file);
    if (c == EOF)
        return false;
    const bool negative = c == '-';
    if (c == '+' || c == '-')
        c = getc(file);
    if (!isDigit(c)) {
        *field = 0;
        return false;
    }
    // Kept to one past the largest magnitude, so that any run of digits stays in range.
    const int64_t limit = int64_t{INT32_MAX} + 1;
    int64_t magnitude = 0;
    while (isDigit(c)) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit)
            magnitude = limit + 1;
        c = getc(file);
    }
    if (c != EOF)
        ungetc(c, file);
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX || value < INT32_MIN) {
        *field = negative ? INT32_MIN : INT32_MAX;
        return false;
    }
    *field = static_cast<int32_t>(value);
    return true;
}

void readSettings()
{
    // Non-blocking, so that a FIFO in its place cannot hang the start; only a regular file counts.
    const int fd = open(demoState.settingsPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    FILE* file = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(file = fdopen(fd, "r"))) {
        close(fd);
        return;
    }
    for (int32_t* field : settingsFields)
        if (!extractInteger(file, field))
            break;
    settingsLoaded = 1;
    std::fclose(file);
}

static bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

void writeSettings()
{
    const std::string& path = demoState.settingsPath;
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        return;
    // The new file takes the old one's permissions, or those a plain create would give.
    struct stat st {};
    mode_t mode = 0;
    if (stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);

    if (runSettings.fullscreen == 1) {
        runSettings.windowWidth = runSettings.savedWidth;
        runSettings.windowHeight = runSettings.savedHeight;
    }
    char text[settingsFieldCount * 12];
    int length = 0;
    for (int i = 0; i < settingsFieldCount; ++i)
        length += std::snprintf(text + length, sizeof text - size_t(length), i + 1 < settingsFieldCount ? "%d\n" : "%d",
                                *settingsFields[i]);

    // Written in full and on disk before it takes the old file's place; otherwise the old file stays.
    const bool written = writeAll(fd, text, size_t(length)) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0)
        unlink(temporary.c_str());
}
