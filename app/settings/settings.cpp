#include "app/settings/settings.h"

#include <errno.h>
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

// The file beside the one it will replace, made new: O_EXCL, so that nothing else's file is taken
// over, with the mode given to open() so that the process's umask, shared with the other threads,
// is applied by the kernel and never changed. -1 with errno from the last try when none can be made.
static int makeFileBeside(const std::string& path, std::string* made, mode_t mode)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *made = path + "." + std::to_string(getpid()) + "-" + std::to_string(attempt);
        const int fd = open(made->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// So that the rename itself survives a crash.
static void syncFolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

enum class Aside { written, failed, folderRefused, ownerRefused };

// Written in full and on disk beside the file before it takes the file's place, so a half-written
// file never replaces a good one; it takes the old file's owner, group and mode first. Nothing is
// left behind when that fails.
static Aside replaceFromAside(const std::string& path, const char* text, size_t size, const struct stat* previous)
{
    std::string temporary;
    const int fd = makeFileBeside(path, &temporary, previous ? 0600 : 0666);
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? Aside::folderRefused : Aside::failed;
    // Owner and group before the mode: a change of owner clears the set-id bits.
    struct stat made {};
    const bool otherOwner = previous && (fstat(fd, &made) != 0 || made.st_uid != previous->st_uid ||
                                         made.st_gid != previous->st_gid);
    if ((otherOwner && fchown(fd, previous->st_uid, previous->st_gid) != 0) ||
        (previous && fchmod(fd, previous->st_mode & 07777) != 0)) {
        close(fd);
        unlink(temporary.c_str());
        return Aside::ownerRefused;
    }
    const bool written = writeAll(fd, text, size) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return Aside::failed;
    }
    syncFolderOf(path);
    return Aside::written;
}

// Where no file can be made beside it, or none can take its owner, the file itself is rewritten:
// the room for the new text is taken first, so that a full disk or a quota leaves the old text as
// it was, and it is cut to the new length only once the new text is on disk.
static bool rewriteInPlace(const std::string& path, const char* text, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool roomTaken = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                           (st.st_size >= off_t(size) || posix_fallocate(fd, 0, off_t(size)) == 0);
    bool written = roomTaken;
    for (size_t done = 0; written && done < size;) {
        const ssize_t n = pwrite(fd, text + done, size - done, off_t(done));
        written = n > 0;
        done += written ? size_t(n) : 0;
    }
    written = written && fsync(fd) == 0 && ftruncate(fd, off_t(size)) == 0 && fsync(fd) == 0;
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

    // In place only where the folder, or the owner, refused the file beside it; a full disk or a
    // quota there leaves the old file as it was.
    const Aside aside = replaceFromAside(path, text, size_t(length), exists ? &st : nullptr);
    bool written = aside == Aside::written;
    if ((aside == Aside::folderRefused || aside == Aside::ownerRefused) && exists)
        written = rewriteInPlace(path, text, size_t(length));
    // Nothing written, no field changed.
    if (written && restoreSize) {
        runSettings.windowWidth = runSettings.savedWidth;
        runSettings.windowHeight = runSettings.savedHeight;
    }
}
