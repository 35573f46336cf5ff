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

// The file a link names, followed link by link; empty for a loop of links.
static std::string followLinks(std::string path)
{
    for (int hop = 0; hop < 40; ++hop) {
        char target[4096];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0)
            return path;
        target[n] = '\0';
        const size_t slash = path.rfind('/');
        path = target[0] == '/' || slash == std::string::npos ? std::string(target) : path.substr(0, slash + 1) + target;
    }
    return {};
}

// Written in full and on disk beside the file before it takes the file's place, so a half-written
// file never replaces a good one. False, with nothing left behind, when that fails.
static bool replaceFromAside(const std::string& path, const char* text, size_t size, const struct stat* previous,
                             bool* nothingMade)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    *nothingMade = fd < 0;
    if (fd < 0)
        return false;
    // The new file takes the old one's permissions, or those a plain create would give.
    mode_t mode = 0;
    if (previous) {
        mode = previous->st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    const bool written = writeAll(fd, text, size) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Where no file can be made beside it, the file itself is rewritten.
static bool rewriteInPlace(const std::string& path, const char* text, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, text, size) && fsync(fd) == 0;
    return close(fd) == 0 && written;
}

void writeSettings()
{
    const std::string path = followLinks(demoState.settingsPath);
    if (path.empty())
        return;
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    // A file the user cannot write, or made read-only, is theirs to keep; root ignores the mode
    // bits, so they are asked as well.
    if (exists && (!S_ISREG(st.st_mode) || access(path.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0))
        return;

    // A fullscreen run stores the windowed size it set aside, not the desktop's.
    const bool restoreSize = runSettings.fullscreen == 1;
    char text[settingsFieldCount * 12];
    int length = 0;
    for (int i = 0; i < settingsFieldCount; ++i) {
        int32_t value = *settingsFields[i];
        if (restoreSize && settingsFields[i] == &runSettings.windowWidth)
            value = runSettings.savedWidth;
        if (restoreSize && settingsFields[i] == &runSettings.windowHeight)
            value = runSettings.savedHeight;
        length += std::snprintf(text + length, sizeof text - size_t(length), i + 1 < settingsFieldCount ? "%d\n" : "%d",
                                value);
    }

    bool nothingMade = false;
    bool written = replaceFromAside(path, text, size_t(length), exists ? &st : nullptr, &nothingMade);
    if (!written && nothingMade && exists)
        written = rewriteInPlace(path, text, size_t(length));
    // Nothing written, no field changed.
    if (written && restoreSize) {
        runSettings.windowWidth = runSettings.savedWidth;
        runSettings.windowHeight = runSettings.savedHeight;
    }
}
