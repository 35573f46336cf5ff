#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/music.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string folder;

std::string compose(const std::string& name, const std::string& args)
{
    const std::string path = folder + "/" + name;
    const std::string command = std::string(COMPOSE_PATH) + " " + path + " " + args;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
}

void sleepFor(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double seconds(uint32_t handle, uint64_t bytes)
{
    return musicChannelBytesToSeconds(handle, bytes);
}

double position(uint32_t handle)
{
    return seconds(handle, musicChannelGetPosition(handle, musicPosByte));
}

// Waits until the position equals the length, checking on the way that it never goes back or
// beyond. Returns the seconds it took, or a negative value when it did not end in time.
double playToEnd(uint32_t handle, double limit)
{
    const uint64_t length = musicChannelGetLength(handle, musicPosByte);
    const auto start = Clock::now();
    uint64_t previous = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < limit) {
        const uint64_t now = musicChannelGetPosition(handle, musicPosByte);
        EXPECT_GE(now, previous);
        EXPECT_LE(now, length);
        previous = now;
        if (now == length)
            return std::chrono::duration<double>(Clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return -1.0;
}

class Music : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/quillvane-music-XXXXXX";
        folder = mkdtemp(pattern);
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + folder).c_str()); }
    void SetUp() override { ASSERT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr)); }
    void TearDown() override { musicFree(); }
};

TEST_F(Music, LengthIsExactForEveryRateChannelCountAndFormat)
{
    struct Case {
        const char* name;
        const char* args;
        int64_t frames;
        int rate;
        int channels;
    };
    for (const Case& c : {
             Case{"a.ogg", "--seconds 1.5 --rate 44100 --channels 2 --format ogg", 66150, 44100, 2},
             Case{"b.flac", "--seconds 1.25 --rate 48000 --channels 1 --format flac", 60000, 48000, 1},
             Case{"c.wav", "--seconds 0.5 --rate 22050 --channels 2 --format wav", 11025, 22050, 2},
             Case{"d.ogg", "--seconds 1 --rate 22050 --channels 1 --format ogg", 22050, 22050, 1},
             Case{"e.wav", "--seconds 0.25 --rate 96000 --channels 6 --format wav", 24000, 96000, 6},
         }) {
        const uint32_t handle = musicStreamCreateFile(false, compose(c.name, c.args).c_str(), 0, 0, 0);
        ASSERT_NE(handle, 0u) << c.name << ": " << musicLastError();
        const uint64_t length = musicChannelGetLength(handle, musicPosByte);
        EXPECT_EQ(length, uint64_t(c.frames) * uint64_t(c.channels) * 2) << c.name;
        EXPECT_DOUBLE_EQ(seconds(handle, length), double(c.frames) / c.rate) << c.name;
        EXPECT_EQ(musicChannelGetPosition(handle, musicPosByte), 0u) << c.name;
        musicStreamFree(handle);
    }
}

TEST_F(Music, PlaysFromZeroToExactlyTheLengthAndStaysThere)
{
    const uint32_t handle = musicStreamCreateFile(false, compose("one.ogg", "--seconds 1").c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    sleepFor(0.2);
    EXPECT_EQ(musicChannelGetPosition(handle, musicPosByte), 0u) << "nothing plays before play";
    ASSERT_TRUE(musicChannelPlay(handle, true));
    const double took = playToEnd(handle, 5.0);
    ASSERT_GT(took, 0.0) << "never reached the length";
    EXPECT_GT(took, 0.85);
    EXPECT_LT(took, 1.6);
    sleepFor(0.2);
    EXPECT_EQ(musicChannelGetPosition(handle, musicPosByte), musicChannelGetLength(handle, musicPosByte));
    EXPECT_EQ(musicChannelUnderruns(handle), 0u);
}

TEST_F(Music, PauseHoldsResumeGoesOnRestartReturnsToZero)
{
    const uint32_t handle = musicStreamCreateFile(false, compose("three.ogg", "--seconds 3").c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    musicChannelPlay(handle, true);
    sleepFor(0.6);
    ASSERT_TRUE(musicChannelPause(handle));
    musicChannelPause(handle);  // again: changes nothing
    sleepFor(0.1);
    const uint64_t held = musicChannelGetPosition(handle, musicPosByte);
    EXPECT_GT(seconds(handle, held), 0.3);
    EXPECT_LT(seconds(handle, held), 1.0);
    sleepFor(0.5);
    EXPECT_EQ(musicChannelGetPosition(handle, musicPosByte), held) << "position moved while paused";

    musicChannelPlay(handle, false);
    sleepFor(0.4);
    musicChannelPlay(handle, false);  // a playing stream goes on undisturbed
    const double resumed = position(handle);
    EXPECT_GT(resumed, seconds(handle, held) + 0.2);
    EXPECT_LT(resumed, seconds(handle, held) + 0.7);

    musicChannelPlay(handle, true);
    EXPECT_EQ(musicChannelGetPosition(handle, musicPosByte), 0u);
    sleepFor(0.3);
    EXPECT_GT(position(handle), 0.1);
    EXPECT_LT(position(handle), 0.6);

    // Restart while paused: rewound and still silent.
    musicChannelPause(handle);
    musicChannelPlay(handle, true);
    musicChannelPause(handle);
    sleepFor(0.3);
    EXPECT_EQ(musicChannelGetPosition(handle, musicPosByte), 0u);
    EXPECT_EQ(musicChannelUnderruns(handle), 0u);
}

TEST_F(Music, WhatCannotBePlayedGivesHandleZero)
{
    const std::string empty = folder + "/empty.ogg";
    std::ofstream(empty).close();
    const std::string text = folder + "/text.ogg";
    std::ofstream(text) << "this is not music\n";
    const std::string garbage = folder + "/garbage.ogg";
    {
        std::ofstream out(garbage, std::ios::binary);
        uint32_t x = 12345;
        for (int i = 0; i < 100000; ++i) {
            x = x * 1664525u + 1013904223u;
            out.put(char(x >> 24));
        }
    }
    const std::string directory = folder + "/directory.ogg";
    mkdir(directory.c_str(), 0755);
    for (const std::string& path : {folder + "/missing.ogg", empty, text, garbage, directory}) {
        EXPECT_EQ(musicStreamCreateFile(false, path.c_str(), 0, 0, 0), 0u) << path;
        EXPECT_STRNE(musicLastError(), "") << path;
    }
    EXPECT_EQ(musicChannelGetLength(0, musicPosByte), musicErrorValue);
    EXPECT_EQ(musicChannelGetPosition(0, musicPosByte), musicErrorValue);
    EXPECT_EQ(seconds(0, musicErrorValue), -1.0);
    EXPECT_FALSE(musicChannelPlay(0, true));
    EXPECT_FALSE(musicChannelPause(0));
}

TEST_F(Music, FileCutInHalfStillEnds)
{
    const std::string whole = compose("whole.ogg", "--seconds 2");
    const std::string half = folder + "/half.ogg";
    struct stat st {};
    stat(whole.c_str(), &st);
    ASSERT_EQ(std::system(("head -c " + std::to_string(st.st_size / 2) + " " + whole + " > " + half).c_str()), 0);
    const uint32_t handle = musicStreamCreateFile(false, half.c_str(), 0, 0, 0);
    if (handle == 0)
        return;  // refusing it is as good as ending it
    musicChannelPlay(handle, true);
    EXPECT_GT(playToEnd(handle, 5.0), 0.0) << "a cut file must end, not hang";
}

TEST_F(Music, FallsBackToSilentOutputWhenNoDeviceOpens)
{
    musicFree();
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    ASSERT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr));
    const uint32_t handle = musicStreamCreateFile(false, compose("fallback.ogg", "--seconds 1").c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    EXPECT_STREQ(musicOutputDriver(), "dummy");
    musicChannelPlay(handle, true);
    const double took = playToEnd(handle, 5.0);
    EXPECT_GT(took, 0.85) << "silent output must still take the track's time";
    EXPECT_LT(took, 1.6);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
}

// The disk driver writes what the output receives: it must be the decoded file, sample for sample.
TEST_F(Music, OutputCarriesTheDecodedSamples)
{
    const std::string track = compose("disk.flac", "--seconds 0.6 --rate 22050 --channels 2 --format flac");
    const std::string raw = folder + "/output.raw";
    musicFree();
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    ASSERT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr));
    const uint32_t handle = musicStreamCreateFile(false, track.c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    musicChannelPlay(handle, true);
    ASSERT_GT(playToEnd(handle, 5.0), 0.0);
    sleepFor(0.1);
    musicFree();
    setenv("SDL_AUDIODRIVER", "dummy", 1);

    SF_INFO info{};
    SNDFILE* file = sf_open(track.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<int16_t> decoded(size_t(info.frames * info.channels));
    ASSERT_EQ(sf_readf_short(file, decoded.data(), info.frames), info.frames);
    sf_close(file);

    std::vector<int16_t> played;
    {
        std::ifstream again(raw, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
        played.resize(bytes.size() / 2);
        std::memcpy(played.data(), bytes.data(), played.size() * 2);
    }
    // Silence before play and after the end surrounds the track; align on the first sound.
    auto firstSound = [](const std::vector<int16_t>& v) {
        size_t i = 0;
        while (i < v.size() && v[i] == 0)
            ++i;
        return i;
    };
    const size_t soundInOutput = firstSound(played);
    const size_t soundInFile = firstSound(decoded);
    ASSERT_LT(soundInOutput, played.size());
    ASSERT_GE(soundInOutput, soundInFile);
    const size_t offset = soundInOutput - soundInFile;
    ASSERT_GE(played.size(), offset + decoded.size()) << "output is shorter than the track";
    EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), played.begin() + long(offset)))
        << "output differs from the decoded samples";
    for (size_t i = offset + decoded.size(); i < played.size(); ++i)
        ASSERT_EQ(played[i], 0) << "sound after the end, at sample " << i;
}

} // namespace
