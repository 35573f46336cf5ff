#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings/settings.h"
#include "app/state.h"
#include "tests/settings_oracle.h"

// Every umask() the writer makes, counted: the process's mask is shared with the music's threads,
// which may be creating files of their own meanwhile.
static int umaskCalls = 0;
extern "C" mode_t umask(mode_t mask)
{
    ++umaskCalls;
    return mode_t(syscall(SYS_umask, mask));
}

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quillvane-settings-XXXXXX";
        folder = mkdtemp(pattern);
        assignDefaults();
        demoState.settingsPath = folder + "/settings.conf";
    }
    void TearDown() override { std::system(("chmod -R u+w " + folder + "; rm -rf " + folder).c_str()); }

    // A fresh record read from a file holding text.
    void readFrom(const std::string& text)
    {
        assignDefaults();
        demoState.settingsPath = folder + "/settings.conf";
        put(text);
        readSettings();
    }
    void put(const std::string& text)
    {
        std::ofstream(demoState.settingsPath, std::ios::binary) << text;
    }
    std::string contents() const
    {
        std::ifstream in(demoState.settingsPath, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::vector<int32_t> fields()
    {
        const RunSettings& r = runSettings;
        return {r.windowX,    r.windowY, r.windowWidth, r.windowHeight, r.centerWindow, r.fullscreen,
                r.msaaSamples, r.vsync,  r.frameRate,   r.showStatus,   r.askFullscreen};
    }
    static const std::vector<int32_t> defaults;
    // The defaults with their first fields replaced by values.
    static std::vector<int32_t> leading(std::initializer_list<int32_t> values)
    {
        std::vector<int32_t> result = defaults;
        std::copy(values.begin(), values.end(), result.begin());
        return result;
    }

    std::string folder;
};

const std::vector<int32_t> SettingsFile::defaults = {0, 0, 1024, 768, 1, 0, 4, 1, 60, 0, 1};

TEST_F(SettingsFile, MissingFileChangesNothing)
{
    readSettings();
    EXPECT_EQ(fields(), defaults);
    EXPECT_EQ(settingsLoaded, 0);
}

TEST_F(SettingsFile, EmptyFileCountsAsLoaded)
{
    readFrom("");
    EXPECT_EQ(fields(), defaults);
    EXPECT_EQ(settingsLoaded, 1);
}

TEST_F(SettingsFile, ShortFileFillsOnlyWhatItHas)
{
    readFrom("100\n200\n");
    EXPECT_EQ(fields(), leading({100, 200}));
    EXPECT_EQ(settingsLoaded, 1);
}

TEST_F(SettingsFile, GarbledValueGivesZeroAndStopsReading)
{
    readFrom("5\n6\nx\n7\n0\n1\n8\n0\n30\n1\n0");
    EXPECT_EQ(fields(), leading({5, 6, 0}));
    readFrom("1\n2\n12.5\n7\n");
    EXPECT_EQ(fields(), leading({1, 2, 12, 0}));  // the point is no digit
    EXPECT_EQ(settingsLoaded, 1);
}

TEST_F(SettingsFile, OutOfRangeTakesTheNearerLimitAndStops)
{
    readFrom("2147483648\n5\n");
    EXPECT_EQ(fields(), leading({INT32_MAX}));
    readFrom("-99999999999999999999999999\n5\n");
    EXPECT_EQ(fields(), leading({INT32_MIN}));

    // The limits themselves are in range.
    readFrom("-2147483648 2147483647 3");
    EXPECT_EQ(runSettings.windowX, INT32_MIN);
    EXPECT_EQ(runSettings.windowY, INT32_MAX);
    EXPECT_EQ(runSettings.windowWidth, 3);
}

TEST_F(SettingsFile, LenientWhiteSpaceSignsAndLeadingZeros)
{
    const std::vector<int32_t> expected = {7, -3, 800, 600, 0, 1, 0, 0, 30, 1, 0};
    for (const char* text : {
             "007\n-3\n+800\n600\n0\n1\n0\n0\n30\n1\n0",
             "7 -3 800 600 0 1 0 0 30 1 0",
             "7\r\n-3\r\n800\r\n600\r\n0\r\n1\r\n0\r\n0\r\n30\r\n1\r\n0\r\n",
             " \t7\v-3\f800\r600 \n\n0 1 0 0 30 1 0\n",
             "7\n-3\n800\n600\n0\n1\n0\n0\n30\n1\n0junk after the last value\n99",
         }) {
        readFrom(text);
        EXPECT_EQ(fields(), expected) << text;
        EXPECT_EQ(settingsLoaded, 1);
    }
}

TEST_F(SettingsFile, DirectoryOrBinaryInItsPlace)
{
    ASSERT_EQ(mkdir(demoState.settingsPath.c_str(), 0755), 0);
    readSettings();
    EXPECT_EQ(fields(), defaults);
    EXPECT_EQ(settingsLoaded, 0);
    writeSettings();  // cannot replace a directory: nothing changes
    EXPECT_EQ(fields(), defaults);
    rmdir(demoState.settingsPath.c_str());

    readFrom(std::string("\0\x01\xff\x80", 4));
    EXPECT_EQ(fields(), leading({0}));
    EXPECT_EQ(settingsLoaded, 1);
}

TEST_F(SettingsFile, DefaultRecordIsWrittenExactly)
{
    writeSettings();
    EXPECT_EQ(contents(), "0\n0\n1024\n768\n1\n0\n4\n1\n60\n0\n1");
    EXPECT_EQ(contents().size(), 27u);
}

TEST_F(SettingsFile, FullscreenRunWritesTheWindowedSize)
{
    runSettings.fullscreen = 1;
    runSettings.savedWidth = 1024;
    runSettings.savedHeight = 768;
    runSettings.windowWidth = 1920;
    runSettings.windowHeight = 1080;
    runSettings.showStatus = -2;  // written as held, not reduced to a flag
    writeSettings();
    EXPECT_EQ(contents(), "0\n0\n1024\n768\n1\n1\n4\n1\n60\n-2\n1");
    EXPECT_EQ(runSettings.windowWidth, 1024);
    EXPECT_EQ(runSettings.windowHeight, 768);
}

TEST_F(SettingsFile, WrittenValuesReadBackTheSame)
{
    const std::vector<int32_t> values = {-1, INT32_MIN, INT32_MAX, 0, 2, 7, 3, -5, 144, 2, 0};
    int32_t* targets[] = {&runSettings.windowX,      &runSettings.windowY,     &runSettings.windowWidth,
                          &runSettings.windowHeight, &runSettings.centerWindow, &runSettings.fullscreen,
                          &runSettings.msaaSamples,  &runSettings.vsync,       &runSettings.frameRate,
                          &runSettings.showStatus,   &runSettings.askFullscreen};
    for (size_t i = 0; i < values.size(); ++i)
        *targets[i] = values[i];
    writeSettings();
    const std::string written = contents();
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 10);
    EXPECT_NE(written.back(), '\n');
    assignDefaults();
    demoState.settingsPath = folder + "/settings.conf";
    readSettings();
    EXPECT_EQ(fields(), values);
}

// Nothing written: no field changes, not even the windowed size a fullscreen run puts back.
TEST_F(SettingsFile, NothingWrittenLeavesTheRecordAlone)
{
    auto fullscreenRun = [] {
        runSettings.fullscreen = 1;
        runSettings.windowWidth = 1920;
        runSettings.windowHeight = 1080;
        runSettings.savedWidth = 1024;
        runSettings.savedHeight = 768;
    };
    fullscreenRun();
    demoState.settingsPath = folder + "/missing-folder/settings.conf";
    writeSettings();
    EXPECT_EQ(runSettings.windowWidth, 1920);
    EXPECT_EQ(runSettings.windowHeight, 1080);
    EXPECT_EQ(access((folder + "/missing-folder").c_str(), F_OK), -1);

    demoState.settingsPath = folder + "/settings.conf";
    mkdir(demoState.settingsPath.c_str(), 0755);
    writeSettings();
    EXPECT_EQ(runSettings.windowWidth, 1920) << "a folder in the file's place";
    EXPECT_EQ(runSettings.windowHeight, 1080);
}

TEST_F(SettingsFile, LinkIsFollowedToTheFileItNames)
{
    mkdir((folder + "/kept").c_str(), 0755);
    std::ofstream(folder + "/kept/mine.conf") << "old";
    ASSERT_EQ(symlink("kept/mine.conf", demoState.settingsPath.c_str()), 0);
    runSettings.windowX = 77;
    writeSettings();
    struct stat st {};
    ASSERT_EQ(lstat(demoState.settingsPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
    EXPECT_EQ(contents().substr(0, 3), "77\n") << "the file it names was not updated";
}

TEST_F(SettingsFile, ReadOnlyFileIsLeftAlone)
{
    put("1\n2\n3");
    chmod(demoState.settingsPath.c_str(), 0444);
    runSettings.fullscreen = 1;
    runSettings.savedWidth = 800;
    writeSettings();
    EXPECT_EQ(contents(), "1\n2\n3");
    EXPECT_EQ(runSettings.windowWidth, 1024);
}

// The folder cannot take a file beside it, but the file itself may be written: it is, in place.
TEST_F(SettingsFile, FileInAFolderThatCannotBeWrittenIsRewrittenInPlace)
{
    const std::string locked = folder + "/locked";
    mkdir(locked.c_str(), 0755);
    demoState.settingsPath = locked + "/settings.conf";
    put("old");
    chmod(folder.c_str(), 0755);
    // Root writes any folder: the writer then runs as nobody, who owns the file but not the folder.
    const bool root = getuid() == 0;
    if (root) {
        ASSERT_EQ(chown(demoState.settingsPath.c_str(), 65534, 65534), 0);
    }
    chmod(locked.c_str(), 0555);
    runSettings.windowX = 55;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        // First with room for 8 bytes only, as on a full disk: the file must not be emptied first.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {8, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        writeSettings();
        if (contents() != "old")
            _exit(3);
        limit = {RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        writeSettings();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 3) << "a failed rewrite in place lost the file: [" << contents() << "]";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(contents(), "55\n0\n1024\n768\n1\n0\n4\n1\n60\n0\n1");
}

// A run as root over a person's file, and a run by a member of the file's group, leave its owner,
// group and mode as they were; a new file takes the mask without the writer changing it.
TEST_F(SettingsFile, KeepsOwnerGroupAndMode)
{
    umaskCalls = 0;
    const mode_t mask = mode_t(syscall(SYS_umask, 027));
    writeSettings();
    syscall(SYS_umask, mask);
    struct stat st {};
    ASSERT_EQ(stat(demoState.settingsPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(umaskCalls, 0) << "the process-wide mask was changed";

    if (getuid() != 0)
        GTEST_SKIP() << "owners other than the runner's need root";
    put("1\n2\n3");
    ASSERT_EQ(chown(demoState.settingsPath.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(demoState.settingsPath.c_str(), 0604), 0);
    runSettings.windowX = 66;
    writeSettings();
    ASSERT_EQ(stat(demoState.settingsPath.c_str(), &st), 0);
    EXPECT_EQ(contents().substr(0, 3), "66\n");
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    // Uid 4321 in group 4321 may write a file of nobody's in that group, but not give a file
    // nobody's owner: the file is rewritten in place and stays nobody's.
    ASSERT_EQ(chown(demoState.settingsPath.c_str(), 65534, 4321), 0);
    ASSERT_EQ(chmod(demoState.settingsPath.c_str(), 0664), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    runSettings.windowX = 77;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const gid_t group = 4321;
        if (setgroups(1, &group) != 0 || setgid(4321) != 0 || setuid(4321) != 0)
            _exit(2);
        writeSettings();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(stat(demoState.settingsPath.c_str(), &st), 0);
    EXPECT_EQ(contents().substr(0, 3), "77\n");
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 4321u);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
}

// A disk with no room for a file beside the settings file: it stays as it was, and nothing else is
// tried in its place.
TEST_F(SettingsFile, FullDiskLeavesTheFileAsItWas)
{
    if (getuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    const std::string disk = folder + "/disk";
    mkdir(disk.c_str(), 0755);
    ASSERT_EQ(mount("quillvane-test", disk.c_str(), "tmpfs", 0, "size=64k,nr_inodes=8"), 0) << strerror(errno);
    demoState.settingsPath = disk + "/settings.conf";
    const std::string previous = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11";
    put(previous);
    // Every inode and every block taken.
    for (int i = 0;; ++i)
        if (!std::ofstream(disk + "/inode" + std::to_string(i)))
            break;
    std::ofstream(disk + "/inode0", std::ios::binary) << std::string(1 << 20, 'x');
    runSettings.windowX = 99;
    writeSettings();
    const std::string after = contents();
    const std::string listing = std::to_string(std::system(("ls -A " + disk + " | grep -q settings.conf.").c_str()));
    umount(disk.c_str());
    EXPECT_EQ(after, previous);
    EXPECT_NE(listing, "0") << "a file was left beside it";
}

TEST_F(SettingsFile, WriteThatFailsPartWayKeepsThePreviousFileWhole)
{
    const std::string previous = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11";
    put(previous);
    runSettings.windowX = 123456789;
    // A file-size limit makes every write past 8 bytes fail, as a full disk would; root included.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {8, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        writeSettings();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(contents(), previous);
    // No temporary file is left behind.
    EXPECT_EQ(std::system(("test $(ls -A " + folder + " | wc -l) -eq 1").c_str()), 0);

    writeSettings();  // without the limit the same write replaces it
    EXPECT_EQ(contents().substr(0, 10), "123456789\n");
}

// The file's ACL stays as it was, and the copied mode never opens it wider: with group::r-- under
// mask::rw-, the mode's group bits read rw-. A file without one, in a folder whose default ACL
// would give a stranger write, gets no such entry either.
TEST_F(SettingsFile, KeepsTheAclAndNeverWidensAccess)
{
    put("1\n2\n3");
    const std::string file = demoState.settingsPath;
    ASSERT_EQ(std::system(("setfacl -m u::rw,g::r,u:65534:r,m::rw,o::- " + file).c_str()), 0);
    auto acl = [](const std::string& path) {
        std::string text;
        if (FILE* in = popen(("getfacl -cp " + path + " 2>&1").c_str(), "r")) {
            char buffer[256];
            while (fgets(buffer, sizeof buffer, in))
                text += buffer;
            pclose(in);
        }
        return text;
    };
    const std::string before = acl(file);
    runSettings.windowX = 41;
    writeSettings();
    EXPECT_EQ(contents().substr(0, 3), "41\n");
    EXPECT_EQ(acl(file), before);

    ASSERT_EQ(unlink(file.c_str()), 0);
    put("1\n2\n3");
    ASSERT_EQ(chmod(file.c_str(), 0660), 0);
    const std::string plain = acl(file);
    ASSERT_EQ(std::system(("setfacl -d -m u:65534:rw " + folder).c_str()), 0);
    runSettings.windowX = 42;
    writeSettings();
    EXPECT_EQ(contents().substr(0, 3), "42\n");
    EXPECT_EQ(acl(file), plain) << "the folder's default ACL reached the file";
}

TEST_F(SettingsFile, KeepsExtendedAttributes)
{
    put("1\n2\n3");
    ASSERT_EQ(setxattr(demoState.settingsPath.c_str(), "user.origin", "mine", 4, 0), 0) << strerror(errno);
    runSettings.windowX = 43;
    writeSettings();
    EXPECT_EQ(contents().substr(0, 3), "43\n");
    char value[16] = {};
    EXPECT_EQ(getxattr(demoState.settingsPath.c_str(), "user.origin", value, sizeof value), 4);
    EXPECT_STREQ(value, "mine");
}

// Every name of the file sees the new text.
TEST_F(SettingsFile, HardLinkSeesTheNewText)
{
    put("1\n2\n3");
    const std::string other = folder + "/other.conf";
    ASSERT_EQ(link(demoState.settingsPath.c_str(), other.c_str()), 0);
    runSettings.windowX = 44;
    writeSettings();
    std::ifstream in(other, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str(), contents());
    EXPECT_EQ(contents().substr(0, 3), "44\n");
}

// Two runs rewriting the file in place at once, while a third reads it: every read finds one
// run's text whole, and so does the end.
TEST_F(SettingsFile, ConcurrentRewritesInPlaceNeverTear)
{
    const std::string locked = folder + "/locked";
    mkdir(locked.c_str(), 0755);
    demoState.settingsPath = locked + "/settings.conf";
    put("1");
    // A folder that takes no new file, as its owner's; root runs the writers as nobody.
    const bool root = getuid() == 0;
    if (root) {
        ASSERT_EQ(chown(demoState.settingsPath.c_str(), 65534, 65534), 0);
    }
    chmod(folder.c_str(), 0755);
    chmod(locked.c_str(), 0555);
    const std::vector<int32_t> shortText = leading({1, 2});
    const std::vector<int32_t> longText = leading({-2000000000, -2000000001, 2000000002, 2000000003});
    auto writer = [&](const std::vector<int32_t>& values) {
        const pid_t child = fork();
        if (child == 0) {
            if (root && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(2);
            int32_t* targets[] = {&runSettings.windowX, &runSettings.windowY, &runSettings.windowWidth,
                                  &runSettings.windowHeight};
            for (int i = 0; i < 4; ++i)
                *targets[i] = values[size_t(i)];
            for (int i = 0; i < 300; ++i)
                writeSettings();
            _exit(0);
        }
        return child;
    };
    const pid_t writers[] = {writer(shortText), writer(longText)};
    int torn = 0, reads = 0;
    for (bool running = true; running; ++reads) {
        running = false;
        for (pid_t w : writers)
            running = running || waitpid(w, nullptr, WNOHANG) == 0;
        assignDefaults();
        demoState.settingsPath = locked + "/settings.conf";
        readSettings();
        const std::vector<int32_t> read = fields();
        torn += read != shortText && read != longText && read != leading({1});
    }
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    const std::string last = contents();
    EXPECT_TRUE(last == "1\n2\n1024\n768\n1\n0\n4\n1\n60\n0\n1" ||
                last == "-2000000000\n-2000000001\n2000000002\n2000000003\n1\n0\n4\n1\n60\n0\n1")
        << last;
}

// Runs killed at any moment of a write leave no file beside the settings file once the next run
// has written it.
TEST_F(SettingsFile, KilledRunsLeaveNothingBeside)
{
    put("1\n2\n3");
    std::mt19937 random(28);
    for (int kill = 0; kill < 20; ++kill) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            for (;;)
                writeSettings();
        usleep(2000 + random() % 8000);
        ::kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    runSettings.windowX = 45;
    writeSettings();
    EXPECT_EQ(contents().substr(0, 3), "45\n");
    EXPECT_EQ(std::system(("test \"$(ls -A " + folder + ")\" = settings.conf || { ls -A " + folder + "; false; }").c_str()), 0);
}

} // namespace

namespace {

// Many generated files, each read both by the reader and by the stream-extraction oracle.
TEST_F(SettingsFile, AgreesWithStreamExtractionOnGeneratedFiles)
{
    std::mt19937 random(20261208);
    const std::string alphabet = "0123456789000000999999+-  \t\n\r\v\fx.";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int length = int(random() % 120);
        for (int i = 0; i < length; ++i)
            text += alphabet[random() % alphabet.size()];
        std::array<int32_t, 11> before{};
        std::copy(defaults.begin(), defaults.end(), before.begin());
        const std::array<int32_t, 11> expected = expectedSettings(text, before);
        readFrom(text);
        const std::vector<int32_t> read = fields();
        ASSERT_TRUE(std::equal(read.begin(), read.end(), expected.begin())) << "file: [" << text << "]";
    }
}

} // namespace
