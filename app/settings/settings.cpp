#include "app/settings/settings.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/state.h"

// The file's lines, in order.
static int32_t* const settingsFields[] = {
    &runSettings.windowX,      &runSettings.windowY,    &runSettings.windowWidth, &runSettings.windowHeight,
    &runSettings.centerWindow, &runSettings.fullscreen, &runSettings.msaaSamples, &runSettings.vsync,
    &runSettings.frameRate,    &runSettings.showStatus, &runSettings.askFullscreen,
};
constexpr int settingsFieldCount = sizeof settingsFields / sizeof settingsFields[0];

// How long a run waits for another's hold on the file: one stopped while writing must not hang
// the start or the end of this one.
constexpr int lockWaitMs = 2000;

// Takes the file's lock, shared or exclusive; false only when another run holds it past the wait.
// A file system without such locks is read and written without them.
static bool lockFile(int fd, int kind)
{
    for (int waited = 0;; waited += 5) {
        if (flock(fd, kind | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR))
            return true;
        if (waited >= lockWaitMs)
            return false;
        usleep(5000);
    }
}

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
    // Never half of a text another run is rewriting in place; past the wait, what is there.
    lockFile(fd, LOCK_SH);
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

static std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A file beside the settings file while it is written is named so: the file's name, this marker,
// the process and a count. Only a run killed at the wrong moment leaves one.
static const char besideMarker[] = ".quillvane-";

static std::string nameBeside(const std::string& path, int attempt)
{
    return path + besideMarker + std::to_string(getpid()) + "-" + std::to_string(attempt);
}

// Removes what killed runs left beside the file. A run still writing whose file goes this way
// fails to replace the settings file and leaves it whole, as if the other run had written last.
static void clearLeftovers(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + besideMarker;
    DIR* folder = opendir(folderOf(path).c_str());
    if (!folder)
        return;
    while (const dirent* entry = readdir(folder)) {
        const char* rest = entry->d_name + prefix.size();
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0 && *rest &&
            std::strspn(rest, "0123456789-") == std::strlen(rest))
            unlinkat(dirfd(folder), entry->d_name, 0);
    }
    closedir(folder);
}

// The file beside the one it will replace, made new under a name: O_EXCL, so that nothing else's
// file is taken over, with the mode given to open() so that the process's umask, shared with the
// other threads, is applied by the kernel and never changed. -1 with errno from the last try when
// none can be made.
static int makeFileBeside(const std::string& path, std::string* made, mode_t mode)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *made = nameBeside(path, attempt);
        const int fd = open(made->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Gives the unnamed file a name beside the one it will replace, once it is written in full.
static bool nameUnnamedFile(int fd, const std::string& path, std::string* named)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        *named = nameBeside(path, attempt);
        // Without /proc, the file itself, which needs CAP_DAC_READ_SEARCH.
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named->c_str(), AT_SYMLINK_FOLLOW) == 0 ||
            (errno == ENOENT && linkat(fd, "", AT_FDCWD, named->c_str(), AT_EMPTY_PATH) == 0))
            return true;
        if (errno != EEXIST)
            break;
    }
    named->clear();
    return false;
}

// Every extended attribute of a file, the ACL's among them, as names and values in order; false
// where they cannot all be read.
using Attributes = std::vector<std::pair<std::string, std::string>>;
static bool readAttributes(int fd, Attributes* attributes)
{
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;  // a file system without them
    std::string names(size_t(size), '\0');
    if (size > 0 && flistxattr(fd, names.data(), names.size()) != size)
        return false;
    for (const char* name = names.c_str(); name < names.c_str() + size; name += std::strlen(name) + 1) {
        const ssize_t length = fgetxattr(fd, name, nullptr, 0);
        if (length < 0)
            return false;
        std::string value(size_t(length), '\0');
        if (length > 0 && fgetxattr(fd, name, value.data(), value.size()) != length)
            return false;
        attributes->emplace_back(name, value);
    }
    std::sort(attributes->begin(), attributes->end());
    return true;
}

static bool sameAttributes(int oneFd, int otherFd)
{
    Attributes one, other;
    return readAttributes(oneFd, &one) && readAttributes(otherFd, &other) && one == other;
}

// So that the rename itself survives a crash.
static void syncFolderOf(const std::string& path)
{
    const int fd = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

enum class Aside { written, failed, inPlace };

// Written in full and on disk beside the file before it takes the file's place, so that a
// half-written file never replaces a good one, nor a killed run leaves one: unnamed until then
// where the file system allows. It takes the old file's owner, group and mode first, and replaces
// it only where it then carries the same extended attributes and ACL, so that nothing is lost and
// no access is widened; the file is rewritten in place otherwise, as where the folder takes no new
// file or the new one cannot take the owner.
static Aside replaceFromAside(const std::string& path, const char* text, size_t size, int previous)
{
    clearLeftovers(path);
    const mode_t mode = previous >= 0 ? 0600 : 0666;
    std::string named;
    int fd = open(folderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        fd = makeFileBeside(path, &named, mode);
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? Aside::inPlace : Aside::failed;
    const auto discard = [&](Aside result) {
        close(fd);
        if (!named.empty())
            unlink(named.c_str());
        return result;
    };
    struct stat old {}, made {};
    if (previous >= 0) {
        // Owner and group before the mode: a change of owner clears the set-id bits.
        if (fstat(previous, &old) != 0 || fstat(fd, &made) != 0)
            return discard(Aside::failed);
        const bool otherOwner = made.st_uid != old.st_uid || made.st_gid != old.st_gid;
        if ((otherOwner && fchown(fd, old.st_uid, old.st_gid) != 0) || fchmod(fd, old.st_mode & 07777) != 0 ||
            !sameAttributes(previous, fd))
            return discard(Aside::inPlace);
    }
    if (!writeAll(fd, text, size) || fsync(fd) != 0 || (named.empty() && !nameUnnamedFile(fd, path, &named)))
        return discard(Aside::failed);
    if (close(fd) != 0 || rename(named.c_str(), path.c_str()) != 0) {
        unlink(named.c_str());
        return Aside::failed;
    }
    syncFolderOf(path);
    return Aside::written;
}

// The file itself rewritten, under its lock so that no run reads or writes half of it. The room
// for the new text is taken first, so that a full disk or a quota leaves the old text as it was.
// Where the old text is longer, a line end follows the new one until the cut to the new length: a
// run killed in between leaves the old tail after the eleventh value, where no reader looks.
static bool rewriteInPlace(int fd, const char* text, size_t size)
{
    struct stat st {};
    if (!lockFile(fd, LOCK_EX) || fstat(fd, &st) != 0 ||
        (st.st_size < off_t(size) && posix_fallocate(fd, 0, off_t(size)) != 0))
        return false;
    const std::string written = std::string(text, size) + (st.st_size > off_t(size) ? "\n" : "");
    for (size_t done = 0; done < written.size();) {
        const ssize_t n = pwrite(fd, written.data() + done, written.size() - done, off_t(done));
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return ftruncate(fd, off_t(size)) == 0 && fsync(fd) == 0;
}

void writeSettings()
{
    const std::string path = followLinks(demoState.settingsPath);
    if (path.empty())
        return;
    struct stat st {};
    int fd = -1;
    if (lstat(path.c_str(), &st) == 0) {
        // Only a regular file is opened: a device or a FIFO in its place is left alone.
        if (!S_ISREG(st.st_mode))
            return;
        fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        // A file the user cannot write, or made read-only, is theirs to keep; root ignores the mode
        // bits, so they are asked as well.
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0) {
            if (fd >= 0)
                close(fd);
            return;
        }
    }

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

    // In place where the file has other names, which must see the new text too, and where the file
    // beside cannot be made or made alike; a full disk or a quota there leaves the old file as it was.
    const Aside aside = fd >= 0 && st.st_nlink > 1 ? Aside::inPlace : replaceFromAside(path, text, size_t(length), fd);
    bool written = aside == Aside::written;
    if (aside == Aside::inPlace && fd >= 0)
        written = rewriteInPlace(fd, text, size_t(length));
    if (fd >= 0)
        close(fd);
    // Nothing written, no field changed.
    if (written && restoreSize) {
        runSettings.windowWidth = runSettings.savedWidth;
        runSettings.windowHeight = runSettings.savedHeight;
    }
}
