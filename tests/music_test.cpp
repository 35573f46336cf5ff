#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/music/decode/decoder.h"
#include "platform/music/music.h"
#include "platform/music/stream/stream.h"

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

// One file of each kind collections and damage hold, made once into `name` with links of `link` s.
std::string classes(const std::string& name, const char* link)
{
    const std::string path = folder + "/" + name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        EXPECT_EQ(std::system((std::string(CLASSES_PATH) + " " + path + " " + link).c_str()), 0);
    }
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
    // The position moves with the clock, not in SDL's device buffers of 1024 frames: from one call
    // to the next it goes on by no more than the time from before the one to after the other, and
    // 3 ms, as the dummy device sleeps whole milliseconds. However long a loaded machine keeps this
    // thread from calling, that holds; a position that leaps a buffer at a time does not.
    const uint64_t length = musicChannelGetLength(handle, musicPosByte);
    const auto start = Clock::now();
    auto previousCall = start;
    uint64_t previous = 0;
    double largestLead = -1.0;
    while (previous < length && Clock::now() - start < std::chrono::seconds(20)) {
        const auto call = Clock::now();
        const uint64_t now = musicChannelGetPosition(handle, musicPosByte);
        const double elapsed = std::chrono::duration<double>(Clock::now() - previousCall).count();
        EXPECT_GE(now, previous);
        largestLead = std::max(largestLead, seconds(handle, now - std::min(now, previous)) - elapsed);
        previous = now;
        previousCall = call;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(previous, length) << "never reached the length";
    EXPECT_LT(largestLead, 0.003) << "seconds the position leapt ahead of the clock";
    EXPECT_GT(took, 0.85) << "ended before the music was heard";
    sleepFor(0.2);
    EXPECT_EQ(musicChannelGetPosition(handle, musicPosByte), musicChannelGetLength(handle, musicPosByte));
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

// Play, pause and restart as fast as they come, against a playing stream; it must then still play
// from 0 to its end. Under the thread sanitizer this is the stress that shows a race.
TEST_F(Music, PlayPauseAndRestartHammeredWhilePlaying)
{
    const uint32_t handle = musicStreamCreateFile(false, compose("stress.ogg", "--seconds 1").c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    const uint64_t length = musicChannelGetLength(handle, musicPosByte);
    musicChannelPlay(handle, true);
    const auto start = Clock::now();
    for (int i = 0; Clock::now() - start < std::chrono::milliseconds(500); ++i) {
        if (i % 3 == 0)
            musicChannelPlay(handle, i % 7 == 0);
        else if (i % 3 == 1)
            musicChannelPause(handle);
        else
            musicChannelPlay(handle, false);
        ASSERT_LE(musicChannelGetPosition(handle, musicPosByte), length);
        if (i % 64 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    musicChannelPlay(handle, true);
    const double took = playToEnd(handle, 5.0);
    EXPECT_GT(took, 0.85);
    EXPECT_LT(took, 1.6);
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
    // A header that claims 2 000 000 000 frames a second.
    const std::string damaged = classes("classes", "0.2") + "/damaged-rate.wav";
    // A FLAC whose every audio frame is zeroed: nothing in it is music.
    const std::string zeroed = classes("classes", "0.2") + "/zeroed.flac";
    for (const std::string& path : {folder + "/missing.ogg", empty, text, garbage, directory, damaged, zeroed}) {
        EXPECT_EQ(musicStreamCreateFile(false, path.c_str(), 0, 0, 0), 0u) << path;
        EXPECT_STRNE(musicLastError(), "") << path;
    }
    EXPECT_EQ(musicChannelGetLength(0, musicPosByte), musicErrorValue);
    EXPECT_EQ(musicChannelGetPosition(0, musicPosByte), musicErrorValue);
    EXPECT_EQ(seconds(0, musicErrorValue), -1.0);
    EXPECT_FALSE(musicChannelPlay(0, true));
    EXPECT_FALSE(musicChannelPause(0));
}

// Made by the tools people make them with; every one plays to its end. A cut copy plays what it holds,
// then ends.
TEST_F(Music, EveryFormatPlaysItsWholeLength)
{
    constexpr int64_t n = 44100;  // 1 s
    constexpr int64_t mpegFrame = 1152;
    const std::string src = folder + "/src.wav";
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + src + " synth 1 pinknoise vol 0.5").c_str()), 0);
    auto make = [&](const std::string& name, const std::string& command) {
        const std::string path = folder + "/" + name;
        std::string line = command;
        for (size_t at; (at = line.find("IN")) != std::string::npos;)
            line.replace(at, 2, src);
        for (size_t at; (at = line.find("OUT")) != std::string::npos;)
            line.replace(at, 3, path);
        EXPECT_EQ(std::system(("(" + line + ") >/dev/null 2>&1").c_str()), 0) << line;
        return path;
    };
    auto cut = [&](const std::string& name, const std::string& whole) {
        struct stat st {};
        stat(whole.c_str(), &st);
        return make(name, "head -c " + std::to_string(st.st_size * 3 / 4) + " " + whole + " > OUT");
    };
    // Frames a cut file holds, by a decoder other than ours.
    auto heldFrames = [&](const std::string& path) {
        FILE* pipe = popen(("sox " + path + " -t raw -e signed -b 16 - 2>/dev/null | wc -c").c_str(), "r");
        long long bytes = 0;
        EXPECT_EQ(fscanf(pipe, "%lld", &bytes), 1);
        pclose(pipe);
        return int64_t(bytes / 4);
    };
    struct Case {
        std::string name;
        std::string path;
        int rate;
        int64_t least;  // frames
        int64_t most;
        double seconds;  // how long it plays; negative: its length
    };
    const std::string vbr = make("vbr.mp3", "lame --quiet -V 2 IN OUT");
    const std::string ogg = make("vorbis.ogg", "sox IN OUT");
    const std::string flac = make("flac.flac", "flac --silent -f IN -o OUT");
    const std::string cutOgg = cut("cut.ogg", ogg);
    const int64_t cutOggFrames = heldFrames(cutOgg);
    const std::string cutFlac = cut("cut.flac", flac);
    // Links of 0.2 s: a whole number of frames at every rate they have.
    const std::string kinds = classes("classes", "0.2");
    std::vector<Case> cases = {
        // With an Info tag, gapless: the source's frames exactly. Without one, every frame the file
        // holds, the encoder's delay and padding included.
        {"VBR MP3", vbr, 44100, n, n, 1.0},
        {"VBR MP3 without a tag", make("vbr-bare.mp3", "lame --quiet -t -V 2 IN OUT"), 44100, n, n + 3 * mpegFrame, 1.0},
        {"CBR MP3", make("cbr.mp3", "lame --quiet -b 128 IN OUT"), 44100, n, n, 1.0},
        {"CBR MP3 without a tag", make("cbr-bare.mp3", "lame --quiet -t -b 128 IN OUT"), 44100, n, n + 3 * mpegFrame, 1.0},
        {"MP2", make("layer2.mp2", "twolame --quiet IN OUT"), 44100, n, n + 2 * mpegFrame, 1.0},
        {"Ogg Vorbis", ogg, 44100, n, n, 1.0},
        {"Ogg Opus", make("opus.opus", "opusenc --quiet IN OUT"), 48000, 48000, 48000, 1.0},
        {"FLAC", flac, 44100, n, n, 1.0},
        {"WAV", make("wav.wav", "cp IN OUT"), 44100, n, n, 1.0},
        {"AIFF", make("aiff.aiff", "sox IN OUT"), 44100, n, n, 1.0},
        {"cut Ogg Vorbis", cutOgg, 44100, cutOggFrames, cutOggFrames, double(cutOggFrames) / 44100},
        {"cut MP3", cut("cut.mp3", vbr), 44100, n * 65 / 100, n * 85 / 100, 0.75},
        // FLAC's header keeps the whole length; the file wins: what it holds.
        {"cut FLAC", cutFlac, 44100, heldFrames(cutFlac), heldFrames(cutFlac), double(heldFrames(cutFlac)) / 44100},
        // Every later link counted at the first one's rate.
        {"Ogg Vorbis chain of one format", kinds + "/chain-same.ogg", 48000, 19200, 19200, 0.4},
        {"Ogg Vorbis chain, 22.05 kHz mono second link", kinds + "/chain-rate.ogg", 48000, 19200, 19200, 0.4},
        {"Ogg Opus chain, mono second link", kinds + "/mono-link.opus", 48000, 19200, 19200, 0.4},
        // Joined files are played frame for frame, each one's encoder delay and padding included.
        {"MP3s joined, 22.05 kHz second", kinds + "/joined.mp3", 44100, n * 2 / 5, n * 2 / 5 + 6 * mpegFrame, -1},
        {"MP3 after 3000 bytes of junk", kinds + "/junk.mp3", 44100, n / 5, n / 5, 0.2},
        {"WAV whose sizes are 0", kinds + "/zero-size.wav", 44100, n / 5, n / 5, 0.2},
    };
    ASSERT_GT(cutOggFrames, n / 4);
    for (const Case& c : cases) {
        const uint32_t handle = musicStreamCreateFile(false, c.path.c_str(), 0, 0, 0);
        ASSERT_NE(handle, 0u) << c.name << ": " << musicLastError();
        const uint64_t length = musicChannelGetLength(handle, musicPosByte);
        EXPECT_GE(int64_t(length / 4), c.least) << c.name;
        EXPECT_LE(int64_t(length / 4), c.most) << c.name;
        EXPECT_DOUBLE_EQ(seconds(handle, length), double(length / 4) / c.rate) << c.name;
        musicChannelPlay(handle, true);
        EXPECT_NEAR(playToEnd(handle, 5.0), c.seconds < 0 ? double(length / 4) / c.rate : c.seconds, 0.15) << c.name;
        musicStreamFree(handle);
    }
}

// Frames of `path` as ffmpeg's own decoder gives them: the reference for formats whose container
// marks no encoder delay or padding. `pick` chooses another stream than ffmpeg's.
int64_t ffmpegFrames(const std::string& path, int channels, const char* pick = "")
{
    FILE* pipe = popen(("ffmpeg -v error -i " + path + " " + pick + " -f s16le - | wc -c").c_str(), "r");
    long long bytes = 0;
    EXPECT_EQ(fscanf(pipe, "%lld", &bytes), 1);
    pclose(pipe);
    return int64_t(bytes / (2 * channels));
}

// A ProTracker module: one pattern of 64 rows at one tick a row and 125 BPM, 1.28 s, two channels
// playing a looped square wave an octave apart.
std::string trackerModule(const std::string& path)
{
    std::string mod(20, '\0');
    mod.replace(0, 9, "quillvane");
    auto be16 = [&](int v) { mod += char(v >> 8), mod += char(v & 255); };
    for (int i = 0; i < 31; ++i) {
        mod += std::string(22, '\0');
        be16(i == 0 ? 16 : 0);  // length in words
        mod += '\0', mod += char(i == 0 ? 64 : 0);
        be16(0);
        be16(i == 0 ? 16 : 1);  // the loop: the whole sample
    }
    mod += char(1), mod += char(127);
    mod += std::string(128, '\0');
    mod += "M.K.";
    std::string pattern(64 * 4 * 4, '\0');
    const unsigned char cells[2][4] = {{0x01, 0xAC, 0x1F, 0x01}, {0x00, 0xD6, 0x10, 0x00}};  // 428, 214; speed 1
    std::memcpy(&pattern[0], cells, sizeof cells);
    mod += pattern;
    mod += std::string(16, char(0x60)) + std::string(16, char(0xA0));
    std::ofstream(path, std::ios::binary) << mod;
    return path;
}

// What the dedicated decoders do not recognise, as ffmpeg writes it from a track of ours and as damage
// leaves it: each opened by the framework's family, read whole to the exact length it announced,
// twice, the second time the same samples as the first; that length is the source's where the
// container marks the encoder's delay and padding, ffmpeg's own decode's where it marks none.
// Lossless ones give back the source's samples.
TEST_F(Music, FormatsOfTheCodecFrameworkDecodeToTheirExactLength)
{
    const std::string src = folder + "/framework.wav";
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + src + " synth 1 pinknoise vol 0.5").c_str()), 0);
    const std::string surround = folder + "/framework-51.wav";
    ASSERT_EQ(std::system(("sox -n -r 48000 -c 6 -b 16 " + surround + " synth 1 sine 300 sine 500 sine 700 sine 900 sine 1100 sine 80 vol 0.5").c_str()), 0);
    const std::string other = folder + "/framework-b.wav";
    // Long enough that its lossless encodings are counted by their containers, not walked at open.
    const std::string longer = folder + "/framework-20.wav";
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + longer + " synth 20 pinknoise vol 0.5").c_str()), 0);
    ASSERT_EQ(std::system(("sox -n -r 22050 -c 1 -b 16 " + other + " synth 0.5 sine 660 vol 0.5").c_str()), 0);
    std::vector<int16_t> source(44100 * 2);
    {
        SF_INFO info{};
        SNDFILE* file = sf_open(src.c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(sf_readf_short(file, source.data(), 44100), 44100);
        sf_close(file);
    }
    enum Reference { sourceLength, ffmpegDecode, lossless };
    struct Case {
        const char* name;
        const char* file;
        const char* args;
        Reference reference;
        int64_t frames;  // the source's, at the rate it is decoded at
        const Speaker* layout = nullptr;
        const char* pick = "";       // ffmpeg's arguments for the stream played, where not its own choice
        const char* same = nullptr;  // an earlier case whose samples this one's must be
    };
    // Damage at the 20th frame's header, as a bad sector or a broken transfer leaves it.
    const std::string damage = " && cp OUT.a OUT.b && printf '\\0\\0' | dd of=OUT.b conv=notrunc status=none bs=1 seek=$(ffprobe "
                               "-v error -show_entries packet=pos -of csv=p=0 OUT.a | sed -n 20p) && mv OUT.b";
    const std::string damagedAdts = "-i IN -c:a aac -f adts OUT.a" + damage, damagedAc3 = "-i IN -f ac3 OUT.a" + damage;
    std::map<std::string, std::pair<std::string, std::vector<int16_t>>> played;  // file and samples, by case
    // Where AC3 puts the surrounds: at the sides, not where the WAV order's fifth and sixth are.
    const Speaker sides[6] = {speakerFrontLeft, speakerFrontRight, speakerFrontCenter, speakerLfe, speakerSideLeft, speakerSideRight};
    for (const Case& c : {
             Case{"AAC in M4A", "aac.m4a", "-i IN -c:a aac", sourceLength, 44100},
             Case{"AAC in MP4", "aac.mp4", "-i IN -c:a aac", sourceLength, 44100},
             Case{"5.1 AAC in M4A", "aac51.m4a", "-i SURROUND -c:a aac", sourceLength, 48000},
             Case{"AAC as ADTS", "adts.aac", "-i IN -c:a aac -f adts", ffmpegDecode, 0},
             Case{"ALAC", "alac.m4a", "-i IN -c:a alac", lossless, 44100},
             // Its packet table counts the short last packet whole, as this muxer writes it.
             Case{"ALAC in CAF", "alac.caf", "-i LONGER -c:a alac", sourceLength, 20 * 44100},
             Case{"WMA", "wma.wma", "-i IN -c:a wmav2", ffmpegDecode, 0},
             Case{"Opus in WebM", "opus.webm", "-i IN -c:a libopus", sourceLength, 48000},
             Case{"Vorbis in Matroska", "vorbis.mka", "-i IN -c:a libvorbis", ffmpegDecode, 0},
             Case{"FLAC in Matroska", "flac.mka", "-i IN -c:a flac", lossless, 44100},
             Case{"FLAC in Ogg", "flac.oga", "-i IN -c:a flac", lossless, 44100},
             Case{"WavPack", "wavpack.wv", "-i IN", lossless, 44100},
             Case{"AC3", "ac3.ac3", "-i IN", ffmpegDecode, 0},
             Case{"5.1 AC3", "ac351.ac3", "-i SURROUND", ffmpegDecode, 0, sides},
             Case{"E-AC3", "eac3.eac3", "-i IN -c:a eac3", ffmpegDecode, 0},
             Case{"E-AC3 in Matroska", "eac3.mka", "-i IN -c:a eac3", ffmpegDecode, 0},
             Case{"TTA", "tta.tta", "-i IN", lossless, 44100},
             Case{"Speex in Ogg", "speex.spx", "-i IN -ar 16000 -ac 1 -c:a libspeex", sourceLength, 16000},
             Case{"ADTS joined, 22.05 kHz mono second", "joined.aac", "-i IN -c:a aac -f adts OUT.a && ffmpeg -v error -i OTHER -c:a aac -f adts OUT.b && cat OUT.a OUT.b >", ffmpegDecode, 0},
             // As podcasts and radio recordings come: frame headers found by chance inside are no MPEG audio.
             Case{"ADTS behind an ID3v2 tag", "id3.aac",
                  "-i IN -c:a aac -f adts OUT.a && { printf 'ID3\\3\\0\\0\\0\\0\\10\\0'; head -c 1024 /dev/zero; cat OUT.a; } >",
                  ffmpegDecode, 0},
             // The song and the fade libopenmpt plays after it.
             Case{"ProTracker module", "module.mod", nullptr, ffmpegDecode, 0},
             // Written where nothing can be sought back to: no cues, no duration, no total.
             Case{"Opus in WebM through a pipe, clusters of 5 s", "pipe.webm", "-stream_loop 11 -i IN -c:a libopus -f webm - >", ffmpegDecode, 0},
             Case{"WavPack through a pipe", "pipe.wv", "-i IN -f wv - >", lossless, 44100},
             Case{"ALAC in M4A cut short", "cut.m4a", "-i LONGER -c:a alac -f mp4 -movflags +faststart OUT.a && head -c 3000000 OUT.a >",
                  ffmpegDecode, 0},
             // MPEG frames in an attached file are no music of this one.
             Case{"Vorbis in Matroska, an MP3 attached", "attached.mka",
                  "-i IN -c:a libmp3lame OUT.mp3 && ffmpeg -v error -y -i IN -attach OUT.mp3 -metadata:s:t mimetype=audio/mpeg -c:a libvorbis",
                  ffmpegDecode, 0},
             // The demuxer passes over a damaged frame header and resyncs; a capture starts where it starts.
             Case{"ADTS, a frame header damaged", "damaged.aac", damagedAdts.c_str(), ffmpegDecode, 0},
             // All 29 frames but the damaged one: ffmpeg's own decode loses the one before it too.
             Case{"AC3, a frame header damaged", "damaged.ac3", damagedAc3.c_str(), sourceLength, 28 * 1536},
             Case{"ADTS from the middle of a frame", "cut.aac", "-i IN -c:a aac -f adts OUT.a && tail -c +1000 OUT.a >", ffmpegDecode, 0},
             Case{"AC3 from the middle of a frame", "cut.ac3", "-i IN -f ac3 OUT.a && tail -c +1000 OUT.a >", ffmpegDecode, 0},
             // The stream played is the first the decoders allowed can play.
             Case{"DTS then AAC in Matroska", "dts-aac.mka", "-i IN -i IN -map 0 -map 1 -c:a:0 dca -strict -2 -c:a:1 aac",
                  ffmpegDecode, 0, nullptr, "-map 0:a:1"},
             // Its last frame, followed by the tag, as sound: the same samples as without the tag.
             Case{"AC3 before an ID3v1 tag", "id3v1.ac3", "-i IN -f ac3 OUT.a && { cat OUT.a; printf TAG; head -c 125 /dev/zero; } >",
                  ffmpegDecode, 0, nullptr, "", "AC3"},
         }) {
        const std::string path = folder + "/" + c.file;
        if (c.args) {
            std::string line = "ffmpeg -v error -y " + std::string(c.args) + " OUT";
            for (auto [from, to] : {std::pair<std::string, std::string>{"IN", src}, {"SURROUND", surround}, {"OTHER", other}, {"LONGER", longer}, {"OUT", path}})
                for (size_t at = 0; (at = line.find(from, at)) != std::string::npos; at += to.size())
                    line.replace(at, from.size(), to);
            ASSERT_EQ(std::system(line.c_str()), 0) << line;
        } else {
            trackerModule(path);
        }
        Decoder decoder;
        ASSERT_TRUE(decoderOpen(&decoder, path.c_str())) << c.name << ": " << decoder.error;
        EXPECT_STREQ(decoder.family->name, "libavcodec") << c.name;
        const std::string referencePath = c.same ? folder + "/" + played[c.same].first : path;
        const int64_t expected = c.reference == ffmpegDecode ? ffmpegFrames(referencePath, decoder.channels, c.pick) : c.frames;
        EXPECT_EQ(decoder.length.frames, expected) << c.name;
        EXPECT_TRUE(decoder.length.exact) << c.name;
        if (c.layout) {
            EXPECT_TRUE(std::equal(c.layout, c.layout + 6, decoder.layout)) << c.name << ": a channel on the wrong speaker";
        }
        std::vector<int16_t> samples[2];
        for (int pass = 0; pass < 2; ++pass) {
            ASSERT_TRUE(pass == 0 || decoderToStart(&decoder)) << c.name;
            std::vector<int16_t> got(size_t(decoder.outChannels) * 4096);
            int64_t frames = 0, n;
            while ((n = decoderRead(&decoder, got.data(), 4096)) > 0) {
                frames += n;
                samples[pass].insert(samples[pass].end(), got.begin(), got.begin() + n * decoder.outChannels);
            }
            EXPECT_EQ(frames, decoder.length.frames) << c.name << ", pass " << pass;
        }
        EXPECT_TRUE(samples[1] == samples[0]) << c.name << ": the second pass differs from the first";
        if (c.reference == lossless) {
            EXPECT_TRUE(samples[0] == source) << c.name << ": not the source's samples";
        }
        if (c.same) {
            EXPECT_TRUE(samples[0] == played[c.same].second) << c.name << ": not the samples of " << c.same;
        }
        played[c.name] = {c.file, std::move(samples[0])};
        decoderClose(&decoder);
    }
}

// Each family reads the speakers a file names (WAV's mask through libsndfile, FLAC's channel-mask
// tag, FFmpeg's layout): a 5.1.2 file's heights are heights, not a second pair of sides. Channels
// a WAV's mask leaves unnamed are no centre or LFE: the stream holds the named ones.
TEST_F(Music, EveryFamilyReadsTheSpeakersTheFileNames)
{
    const std::string raw = folder + "/512.raw";
    ASSERT_EQ(std::system(("sox -q -n -r 44100 -c 8 -b 16 -e signed " + raw + " synth 0.2 sine 300 vol 0.5").c_str()), 0);
    const Speaker named[8] = {speakerFrontLeft, speakerFrontRight, speakerFrontCenter, speakerLfe,
                              speakerSideLeft,  speakerSideRight,  speakerTopFrontLeft, speakerTopFrontRight};
    for (auto [file, family] : {std::pair<const char*, const char*>{"512.wav", "libsndfile"}, {"512.flac", "libFLAC"},
                                {"512.wv", "libavcodec"}}) {
        const std::string path = folder + "/" + file;
        ASSERT_EQ(std::system(("ffmpeg -v error -y -f s16le -ar 44100 -ch_layout FL+FR+FC+LFE+SL+SR+TFL+TFR -i " +
                               raw + " " + path).c_str()), 0);
        Decoder decoder;
        ASSERT_TRUE(decoderOpen(&decoder, path.c_str())) << file << ": " << decoder.error;
        EXPECT_STREQ(decoder.family->name, family);
        EXPECT_TRUE(std::equal(named, named + 8, decoder.layout)) << file;
        decoderClose(&decoder);
    }
    // A mask of two speakers on four channels, as a hand-edited or truncated header leaves it.
    const std::string masked = folder + "/mask.wav";
    ASSERT_EQ(std::system(("sox -q -n -r 44100 -c 4 -b 16 -e signed " + raw + " synth 0.2 sine 300 vol 0.5 && "
                           "ffmpeg -v error -y -f s16le -ar 44100 -ch_layout 4.0 -i " + raw + " " + masked).c_str()), 0);
    {
        std::fstream f(masked, std::ios::in | std::ios::out | std::ios::binary);
        const char mask[4] = {3, 0, 0, 0};
        f.seekp(12 + 8 + 20);  // RIFF header, "fmt " chunk header, WAVEFORMATEXTENSIBLE up to the mask
        f.write(mask, 4);
    }
    Decoder decoder;
    ASSERT_TRUE(decoderOpen(&decoder, masked.c_str())) << decoder.error;
    EXPECT_EQ(decoder.outChannels, 2);
    EXPECT_EQ(decoder.outLayout[0], speakerFrontLeft);
    EXPECT_EQ(decoder.outLayout[1], speakerFrontRight);
    decoderClose(&decoder);
}

// Playlists saved as sample.ogg name a file and a server: they are refused as any unreadable file
// is, and neither is opened.
TEST_F(Music, APlaylistInDisguiseOpensNothingElse)
{
    const std::string segment = folder + "/segment.m4a";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i sine=duration=1 -c:a aac " + segment).c_str()), 0);
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 4), 0);
    getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/segment.ts";
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(watch, segment.c_str(), IN_OPEN), 0);
    const std::string hls = folder + "/hls.ogg";
    std::ofstream(hls) << "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" << segment
                       << "\n#EXTINF:1.0,\n" << url << "\n#EXT-X-ENDLIST\n";
    const std::string concat = folder + "/concat.ogg";
    // A name of no folder is one the concat demuxer calls safe, found from the working directory.
    std::ofstream(concat) << "ffconcat version 1.0\nfile segment.m4a\n";
    char working[4096];
    ASSERT_NE(getcwd(working, sizeof working), nullptr);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    for (const std::string& path : {hls, concat}) {
        EXPECT_EQ(musicStreamCreateFile(false, path.c_str(), 0, 0, 0), 0u) << path;
        EXPECT_STREQ(musicLastError(), "Format not recognised.") << path;
    }
    ASSERT_EQ(chdir(working), 0);
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "the segment was opened";
    EXPECT_LT(accept(server, nullptr, nullptr), 0) << "the server was called";
    close(watch);
    close(server);
}

// What the file holds, by a decoder other than ours, whatever its header says; every frame heard.
TEST_F(Music, LengthIsWhatTheFileHoldsWhateverItsHeaderSays)
{
    const std::string kinds = classes("classes", "0.2");
    auto count = [](const std::string& command) {
        FILE* pipe = popen(command.c_str(), "r");
        long long value = 0;
        EXPECT_EQ(fscanf(pipe, "%lld", &value), 1) << command;
        pclose(pipe);
        return int64_t(value);
    };
    // Frames `flac -d` decodes, going past damage.
    auto flacHeld = [&](const std::string& path) {
        return count("flac -d -F -c -s --force-raw-format --endian=little --sign=signed " + path + " 2>/dev/null | wc -c") / 4;
    };
    // Every frame of the join lasts 1152 frames at 44.1 kHz: 1152 samples there, 576 at 22.05 kHz.
    auto mpegHeld = [&](const std::string& path) {
        return count("ffprobe -v error -count_frames -select_streams a -show_entries stream=nb_read_frames -of csv=p=0 " + path) * 1152;
    };
    struct Case {
        const char* name;
        std::string path;
        int64_t frames;
    };
    const Case cases[] = {
        {"FLAC written through a pipe, total 0", kinds + "/pipe.flac", flacHeld(kinds + "/pipe.flac")},
        {"FLAC whose total claims hours", kinds + "/total-more.flac", flacHeld(kinds + "/total-more.flac")},
        {"FLAC whose total claims less", kinds + "/total-less.flac", flacHeld(kinds + "/pipe.flac")},
        {"FLAC behind an ID3v2 tag", kinds + "/id3.flac", flacHeld(kinds + "/pipe.flac")},
        {"FLAC with 2 KiB of damage in the middle", kinds + "/damaged.flac", flacHeld(kinds + "/damaged.flac")},
        {"MP3s joined A-B-A, B at 22.05 kHz", kinds + "/joined-aba.mp3", mpegHeld(kinds + "/joined-aba.mp3")},
    };
    for (const Case& c : cases) {
        ASSERT_GT(c.frames, 8000) << c.name;
        const uint32_t handle = musicStreamCreateFile(false, c.path.c_str(), 0, 0, 0);
        if (handle == 0) {
            ADD_FAILURE() << c.name << ": " << musicLastError();
            continue;
        }
        const uint64_t length = musicChannelGetLength(handle, musicPosByte);
        EXPECT_EQ(int64_t(length / 4), c.frames) << c.name;
        musicChannelPlay(handle, true);
        EXPECT_NEAR(playToEnd(handle, 5.0), double(c.frames) / 44100, 0.15) << c.name;
        musicStreamFree(handle);
    }
    // Two FLACs joined with cat, the second's frames counting from 0 again: the length is both, and a
    // restart from the beginning plays it all again.
    {
        const std::string joined = kinds + "/joined.flac";
        const uint32_t handle = musicStreamCreateFile(false, joined.c_str(), 0, 0, 0);
        ASSERT_NE(handle, 0u) << musicLastError();
        EXPECT_EQ(int64_t(musicChannelGetLength(handle, musicPosByte) / 4), flacHeld(joined));
        musicChannelPlay(handle, true);
        sleepFor(0.5);
        musicChannelPlay(handle, true);
        EXPECT_NEAR(playToEnd(handle, 5.0), double(flacHeld(joined)) / 44100, 0.15);
        musicChannelPlay(handle, true);
        EXPECT_NEAR(playToEnd(handle, 5.0), double(flacHeld(joined)) / 44100, 0.15) << "after the end";
        musicStreamFree(handle);
    }
    // Files of an album joined, a short one between two long ones, each longer than the places the
    // open looks at are apart: every one is counted, none read whole.
    {
        const std::string joined = folder + "/album.flac";
        const std::string make = "cd " + folder + " && sox -q -n -r 44100 -c 2 -b 16 long.wav synth 40 pinknoise vol 0.5 && "
                                 "sox -q -n -r 44100 -c 2 -b 16 short.wav synth 0.5 sine 440 && "
                                 "flac --silent -f long.wav short.wav && cat long.flac short.flac long.flac > album.flac";
        ASSERT_EQ(std::system(make.c_str()), 0);
        const uint32_t handle = musicStreamCreateFile(false, joined.c_str(), 0, 0, 0);
        ASSERT_NE(handle, 0u) << musicLastError();
        EXPECT_EQ(int64_t(musicChannelGetLength(handle, musicPosByte) / 4), 2 * 40 * 44100 + 22050);
        musicStreamFree(handle);
    }
    // An hour written through a pipe, of noise at 8 kHz mono: more than an open could decode to
    // count it. Lossless: every sample the encoder was given comes back.
    const std::string hour = folder + "/pipe-hour.flac";
    constexpr int64_t hourBytes = 3600 * 8000 * 2;
    ASSERT_EQ(std::system(("head -c " + std::to_string(hourBytes) + " /dev/urandom | flac --silent -0 "
                           "--force-raw-format --endian=little --sign=signed --channels=1 --bps=16 --sample-rate=8000 "
                           "-c - > " + hour + " 2>/dev/null").c_str()), 0);
    const uint32_t handle = musicStreamCreateFile(false, hour.c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    EXPECT_EQ(int64_t(musicChannelGetLength(handle, musicPosByte)), hourBytes);
    musicStreamFree(handle);
}

TEST_F(Music, FallsBackToSilentOutputWhenNoDeviceOpens)
{
    musicFree();
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    ASSERT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr));
    const uint32_t handle = musicStreamCreateFile(false, compose("fallback.ogg", "--seconds 1").c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    EXPECT_STREQ(musicOutputName(handle), "silent");
    musicChannelPlay(handle, true);
    const double took = playToEnd(handle, 5.0);
    EXPECT_GT(took, 0.85) << "silent output must still take the track's time";
    EXPECT_LT(took, 1.6);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
}

// What the disk driver wrote while `path` played from its start to its end, as fast as it decodes.
std::vector<int16_t> playedOnDisk(const std::string& path)
{
    const std::string raw = folder + "/output.raw";
    musicFree();
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    EXPECT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr));
    const uint32_t handle = musicStreamCreateFile(false, path.c_str(), 0, 0, 0);
    EXPECT_NE(handle, 0u) << musicLastError();
    musicChannelPlay(handle, true);
    EXPECT_GT(playToEnd(handle, 5.0), 0.0);
    sleepFor(0.1);
    musicFree();
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    EXPECT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr));
    std::ifstream again(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    std::vector<int16_t> played(bytes.size() / 2);
    std::memcpy(played.data(), bytes.data(), played.size() * 2);
    return played;
}

// `decoded` in `played`, which silence before the play and after the end surrounds.
void expectPlayedAsDecoded(const std::vector<int16_t>& played, const std::vector<int16_t>& decoded)
{
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

// All libsndfile gives of `path`: another decoder's reading to compare ours with.
std::vector<int16_t> decodedBySndfile(const std::string& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path;
    std::vector<int16_t> decoded(file ? size_t(info.frames * info.channels) : 0);
    if (file) {
        EXPECT_EQ(sf_readf_short(file, decoded.data(), info.frames), info.frames) << path;
        sf_close(file);
    }
    return decoded;
}

// The disk driver writes what the output receives: it must be the decoded file, sample for sample.
TEST_F(Music, OutputCarriesTheDecodedSamples)
{
    const std::string track = compose("disk.flac", "--seconds 0.6 --rate 22050 --channels 2 --format flac");
    expectPlayedAsDecoded(playedOnDisk(track), decodedBySndfile(track));
}

// Bytes this thread has read so far.
int64_t threadBytesRead()
{
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    int64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

// The sound of `samples`: what silence, before, between and after, cannot tell apart.
std::vector<int16_t> sound(std::vector<int16_t> samples)
{
    samples.erase(std::remove(samples.begin(), samples.end(), int16_t(0)), samples.end());
    return samples;
}

// All a decoder of ours gives of `path`.
std::vector<int16_t> decodedByUs(const std::string& path)
{
    Decoder decoder{};
    EXPECT_TRUE(decoderOpen(&decoder, path.c_str())) << decoder.error;
    std::vector<int16_t> decoded, buffer(4096 * size_t(std::max(decoder.outChannels, 1)));
    for (int64_t got; decoder.family && (got = decoderRead(&decoder, buffer.data(), 4096)) > 0;)
        decoded.insert(decoded.end(), buffer.begin(), buffer.begin() + got * decoder.outChannels);
    decoderClose(&decoder);
    return decoded;
}

// The open reads a little of the file on the caller's thread, whatever the file holds, and the music
// plays on past what it passed over, in order, nothing left out or heard twice (the time the decoding
// thread takes to pass a hole may be heard as silence): a FLAC with a hole of 32 MiB in its first
// quarter second, as its decoder gives it, and one with 64 MiB of padding among its metadata, as
// libsndfile decodes the same FLAC without it.
TEST_F(Music, AnOpenReadsLittleOfHolesAndPadding)
{
    const std::string track = compose("source.flac", "--seconds 0.6 --rate 22050 --channels 2 --format flac");
    const std::string holed = folder + "/hole.flac", padded = folder + "/padded.flac";
    // At two fifths of its bytes: within its second frame, which the quarter second takes.
    ASSERT_EQ(std::system(("at=$(( $(stat -c %s " + track + ") * 2 / 5 )) && head -c $at " + track + " > " + holed +
                           " && truncate -s +32M " + holed + " && tail -c +$(( at + 1 )) " + track + " >> " + holed).c_str()), 0);
    ASSERT_EQ(std::system(("cp " + track + " " + padded + " && for i in 1 2 3 4; do metaflac --add-padding=16777215 " + padded +
                           "; done").c_str()), 0);
    const std::vector<int16_t> withoutPadding = decodedBySndfile(track);
    for (const auto& [path, heard] : {std::pair{holed, decodedByUs(holed)}, std::pair{padded, withoutPadding}}) {
        const int64_t before = threadBytesRead();
        const uint32_t handle = musicStreamCreateFile(false, path.c_str(), 0, 0, 0);
        const int64_t read = threadBytesRead() - before;
        ASSERT_NE(handle, 0u) << path << ": " << musicLastError();
        musicStreamFree(handle);
        EXPECT_LT(read, int64_t(8) << 20) << path << ": bytes the open read";
        const std::vector<int16_t> played = sound(playedOnDisk(path));
        EXPECT_TRUE(played == sound(heard)) << path << ": sound played: " << played.size() << " samples, decoded: "
                                            << sound(heard).size();
    }
}

// Each link of a chain is heard at its own pitch: a 440 Hz link, then a 660 Hz one at another rate
// or channel count, written by the disk driver as fast as it takes them.
TEST_F(Music, EveryLinkOfAChainIsHeardAtItsOwnPitch)
{
    const std::string kinds = classes("pitch", "0.5");
    for (const char* name : {"chain-rate.ogg", "mono-link.opus", "mapping-link.opus", "empty-link.ogg", "joined.mp3"}) {
        const std::string raw = folder + "/pitch.raw";
        musicFree();
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
        setenv("SDL_DISKAUDIODELAY", "0", 1);
        ASSERT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr));
        const uint32_t handle = musicStreamCreateFile(false, (kinds + "/" + name).c_str(), 0, 0, 0);
        ASSERT_NE(handle, 0u) << name << ": " << musicLastError();
        const double rate = double(musicChannelGetLength(handle, musicPosByte) / 4) /
                            seconds(handle, musicChannelGetLength(handle, musicPosByte));
        musicChannelPlay(handle, true);
        ASSERT_GT(playToEnd(handle, 5.0), 0.0) << name;
        musicFree();
        unsetenv("SDL_DISKAUDIODELAY");
        setenv("SDL_AUDIODRIVER", "dummy", 1);

        std::ifstream in(raw, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The driver takes frames faster than they are decoded: the silence it pads with is left out.
        std::vector<int16_t> left;
        for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
            int16_t frame[2];
            std::memcpy(frame, &bytes[i], 4);
            if (frame[0] != 0 || frame[1] != 0)
                left.push_back(frame[0]);
        }
        const size_t start = 0;
        // Zero crossings in a window well inside each link.
        auto pitch = [&](double from, double to) {
            const size_t a = start + size_t(from * rate), b = std::min(left.size(), start + size_t(to * rate));
            int crossings = 0;
            for (size_t i = a + 1; i < b; ++i)
                crossings += (left[i - 1] < 0) != (left[i] < 0);
            return crossings / 2.0 / (double(b - a) / rate);
        };
        EXPECT_NEAR(pitch(0.1, 0.4), 440, 6) << name << ": the first link";
        EXPECT_NEAR(pitch(0.7, 0.95), 660, 6) << name << ": the second link";
    }
}

// What this thread has read so far: "syscr:" read system calls, "rchar:" bytes.
int64_t threadReads(const char* what = "syscr:")
{
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    int64_t value = 0;
    while (io >> key >> value)
        if (key == what)
            return value;
    return -1;
}

// Frames a decoder delivers from the start to its end.
int64_t deliveredFrames(Decoder* decoder)
{
    std::vector<int16_t> buffer(4096 * size_t(decoder->outChannels));
    int64_t delivered = 0;
    for (int64_t got; (got = decoderRead(decoder, buffer.data(), 4096)) > 0;)
        delivered += got;
    return delivered;
}

// Files made to break the bounds (tests/tracks/crafted.sh): tables that claim 80 million samples, a
// module before a 1.5 GB hole, AC3 before 2 GiB of zeros. Each is played or refused, there and back,
// in memory and reads of its music's size, never of what the file or its tables claim.
TEST_F(Music, FilesMadeToBreakTheBoundsStayWithinThem)
{
    ASSERT_EQ(std::system((std::string(CRAFTED_PATH) + " " + folder).c_str()), 0);
    struct Case {
        const char* name;
        int64_t frames;  // 0: refused
    };
    for (const Case& c : {Case{"track-table.ogg", 44100 * 3}, Case{"track-hole.ogg", 0}, Case{"track-zeros.ogg", 44544}}) {
        const std::string path = folder + "/" + c.name;
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        const int64_t readBefore = threadReads("rchar:");
        Decoder decoder{};
        const bool opened = decoderOpen(&decoder, path.c_str());
        EXPECT_EQ(opened, c.frames > 0) << c.name << ": " << decoder.error;
        if (opened) {
            const int64_t first = deliveredFrames(&decoder);
            EXPECT_NEAR(double(first), double(c.frames), 2048) << c.name;
            ASSERT_TRUE(decoderToStart(&decoder)) << c.name;
            EXPECT_EQ(deliveredFrames(&decoder), first) << c.name;
            decoderClose(&decoder);
        }
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << c.name << ": KiB more at the peak";
        EXPECT_LT(threadReads("rchar:") - readBefore, int64_t{64} << 20) << c.name << ": bytes read";
        std::remove(path.c_str());
    }
}

// The length is worked out apart from the reads: where the probe calls it exact, it is what the reads
// deliver, as chains, joins, tags and damage leave files, and silence, whose packets are of a byte;
// where not, the reads still end. A chain of hundreds of short links, each its own encode, is read a
// block at a time at open, not a link at a time.
TEST_F(Music, TheLengthIsExactWhereTheFileShowsIt)
{
    const std::string kinds = classes("classes", "0.2");
    const std::string many = compose("many-links.ogg", "--seconds 0.01 --links 200");
    const std::string silent = compose("silent.ogg", "--seconds 30 --silent");
    const std::string src = folder + "/exact.wav";
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + src + " synth 1 pinknoise vol 0.5").c_str()), 0);
    ASSERT_EQ(std::system(("cd " + folder + " && lame --quiet -V 2 exact.wav exact.mp3 && lame --quiet -t -V 2 exact.wav "
                           "exact-bare.mp3 && head -c 9000 exact.mp3 > exact-cut.mp3").c_str()), 0);
    struct Case {
        std::string path;
        bool exact;
    };
    for (const Case& c : {Case{many, true}, Case{silent, true}, Case{kinds + "/chain-rate.ogg", true}, Case{kinds + "/empty-link.ogg", true},
                          Case{kinds + "/mapping-link.opus", true}, Case{kinds + "/mono-link.opus", true},
                          Case{kinds + "/joined.flac", true}, Case{kinds + "/damaged.flac", true},
                          Case{kinds + "/pipe.flac", true}, Case{kinds + "/id3.flac", true},
                          Case{kinds + "/zero-size.wav", true}, Case{kinds + "/junk.mp3", true},
                          Case{folder + "/exact.mp3", true}, Case{folder + "/exact-bare.mp3", true},
                          Case{kinds + "/joined-aba.mp3", false}, Case{folder + "/exact-cut.mp3", false}}) {
        struct stat st {};
        ASSERT_EQ(stat(c.path.c_str(), &st), 0);
        Decoder decoder{};
        const int64_t before = threadReads();
        ASSERT_TRUE(decoderOpen(&decoder, c.path.c_str())) << c.path << ": " << decoder.error;
        const int64_t reads = threadReads() - before;
        ASSERT_GE(before, 0);
        if (c.path.find(".o") != std::string::npos) {
            EXPECT_LE(reads, 8 + st.st_size / (64 * 1024)) << c.path << ": reads at open for " << st.st_size << " bytes";
        }
        EXPECT_EQ(decoder.length.exact, c.exact) << c.path;
        const int64_t delivered = deliveredFrames(&decoder);
        EXPECT_GT(delivered, 0) << c.path;
        if (c.exact) {
            EXPECT_EQ(delivered, decoder.length.frames) << c.path;
        }
        decoderClose(&decoder);
    }
}

// Damage the count does not see: a dropout of zeros in an MP3, and a FLAC whose header claims hours
// and whose end is megabytes of garbage. Each plays the music that decodes, after the damage too,
// and ends where that music ends.
TEST_F(Music, DamagedFilesPlayWhatDecodesToTheirEnd)
{
    const std::string dropout = folder + "/dropout.mp3";
    const std::string make = "cd " + folder + " && sox -q -n -r 44100 -c 2 -b 16 tone.wav synth 2 sine 440 vol 0.5 && "
                             "lame --quiet -b 128 tone.wav tone.mp3 && { head -c 16000 tone.mp3; head -c 8192 /dev/zero; "
                             "tail -c +16001 tone.mp3; } > dropout.mp3";
    ASSERT_EQ(std::system(make.c_str()), 0);
    {
        Decoder decoder{};
        ASSERT_TRUE(decoderOpen(&decoder, dropout.c_str())) << decoder.error;
        std::vector<int16_t> all, buffer(4096 * size_t(decoder.outChannels));
        for (int64_t got; (got = decoderRead(&decoder, buffer.data(), 4096)) > 0;)
            all.insert(all.end(), buffer.begin(), buffer.begin() + got * decoder.outChannels);
        decoderClose(&decoder);
        ASSERT_GT(all.size(), size_t(44100 * 2 * 3 / 2)) << "the music after the dropout is missing";
        double energy = 0;
        for (size_t i = all.size() - 44100 / 2; i < all.size() - 44100 / 10; ++i)
            energy += double(all[i]) * all[i];
        EXPECT_GT(energy / (44100 * 0.4), 1e6) << "silence where the music goes on after the dropout";
    }
    const std::string kinds = classes("classes", "0.2");
    const std::string garbage = folder + "/garbage-end.flac";
    ASSERT_EQ(std::system(("{ cat " + kinds + "/total-more.flac; head -c 5000000 /dev/urandom; } > " + garbage).c_str()), 0);
    FILE* pipe = popen(("flac -d -F -c -s --force-raw-format --endian=little --sign=signed " + kinds +
                        "/total-more.flac 2>/dev/null | wc -c").c_str(), "r");
    long long bytes = 0;
    ASSERT_EQ(fscanf(pipe, "%lld", &bytes), 1);
    pclose(pipe);
    const uint32_t handle = musicStreamCreateFile(false, garbage.c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    musicChannelPlay(handle, true);
    EXPECT_NEAR(playToEnd(handle, 5.0), double(bytes / 4) / 44100, 0.15) << "the run does not last as long as the music";
    musicStreamFree(handle);
}

// For a file libsndfile does not know, nothing beside it is opened: a FIFO there, as a Mac's
// resource fork is named in a copied folder, would hold the open for ever. A watchdog opens the
// FIFOs for writing after two seconds, so that a hung open comes back and fails the test.
TEST_F(Music, NoFileBesideTheMusicIsOpened)
{
    const std::string dir = folder + "/beside";
    ASSERT_EQ(std::system(("rm -rf " + dir + " && mkdir -p " + dir + "/.AppleDouble && cd " + dir +
                           " && mkfifo ._ ._sample.ogg .AppleDouble/sample.ogg && head -c 50000 /dev/urandom > sample.ogg")
                              .c_str()), 0);
    char working[4096];
    ASSERT_NE(getcwd(working, sizeof working), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    std::atomic<bool> opened{false}, released{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 200 && !opened; ++i)
            sleepFor(0.01);
        for (const char* fifo : {"._", "._sample.ogg", ".AppleDouble/sample.ogg"}) {
            const int fd = open(fifo, O_WRONLY | O_NONBLOCK);
            released = released || fd >= 0;
            if (fd >= 0)
                close(fd);
        }
    });
    const uint32_t handle = musicStreamCreateFile(false, "sample.ogg", 0, 0, 0);
    opened = true;
    watchdog.join();
    ASSERT_EQ(chdir(working), 0);
    EXPECT_EQ(handle, 0u);
    EXPECT_FALSE(released) << "a FIFO beside the music was opened";
}

// The ring as the output that takes over sees it: what the old output held unheard is handed again as
// the frames it was, from the blocks the decoder leaves behind the read position, not as silence.
TEST(Ring, ANewOutputReplaysWhatTheOldHeldUnheard)
{
    MusicStream s;
    sem_init(&s.decodeWake, 0, 0);
    s.rate = 44100;
    s.outChannels = 2;
    s.lengthFrames = 100000;
    auto sample = [](int64_t frame) { return int16_t(frame % 30000 + 1); };
    s.headFrames = 512;
    for (int64_t f = 0; f < s.headFrames; ++f)
        s.head.insert(s.head.end(), {sample(f), sample(f)});
    const uint64_t count = 8 + keptBlocks;
    s.blocks.assign(count, RingBlock{~0u, 0, 0, false});
    s.samples.assign(count * blockFrames * 2, 0);
    // The decoder's part: blocks of the epoch from where the head ends, as far as the ring lets it.
    int64_t decoded = s.headFrames;
    auto decode = [&] {
        for (uint64_t w = s.written; w - s.read < count - keptBlocks; ++w) {
            s.blocks[w % count] = RingBlock{0, blockFrames, decoded, false};
            for (uint32_t f = 0; f < blockFrames; ++f)
                for (size_t c = 0; c < 2; ++c)
                    s.samples[((w % count) * blockFrames + f) * 2 + c] = sample(decoded + f);
            decoded += blockFrames;
            s.written = w + 1;
        }
    };
    Output old{};
    old.stream = &s;
    Output fresh{};
    fresh.stream = &s;
    s.current = &old;
    std::vector<int16_t> out(8192 * 2);
    bool atEnd = false;
    int64_t taken = 0;
    for (int i = 0; i < 6; ++i) {
        decode();
        taken += streamPull(&old, out.data(), 1500, &atEnd, false);
    }
    ASSERT_EQ(taken, 9000);
    // As the supervisor puts the fresh one in place: the old one had heard all but 4096 frames.
    PullRecord p = seqlockRead(&s.pull);
    p.replay = 4096;
    p.origin = -(taken - 4096);
    p.handed = 0;
    p.output = &fresh;
    seqlockWrite(&s.pull, p);
    s.current = &fresh;
    decode();
    ASSERT_EQ(streamPull(&fresh, out.data(), 6000, &atEnd, false), 6000);
    for (int64_t f = 0; f < 6000; ++f)
        ASSERT_EQ(out[size_t(f) * 2], sample(taken - 4096 + f)) << "frame " << f << " handed again";
    sem_destroy(&s.decodeWake);
}

// A private sound server, for what only a server does: stall and come back, and hold the end.
struct PrivateServer {
    pid_t pid = 0;
    std::string dir;
};

PrivateServer startServer()
{
    PrivateServer server;
    server.dir = folder + "/server";
    mkdir(server.dir.c_str(), 0700);
    const std::string file = server.dir + "/server.pa";
    std::ofstream(file) << "load-module module-null-sink sink_name=heard rate=44100 channels=2 norewinds=1\n"
                        << "set-default-sink heard\n"
                        << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << server.dir
                        << "/native\n";
    std::vector<std::string> args = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                     "--log-target=file:" + server.dir + "/server.log", "-F", file};
    std::vector<std::string> env = {"HOME=" + server.dir, "XDG_RUNTIME_DIR=" + server.dir, "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawnp(&server.pid, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0)
        server.pid = 0;
    struct stat st {};
    for (int i = 0; i < 500 && stat((server.dir + "/native").c_str(), &st) != 0; ++i)
        sleepFor(0.01);
    setenv("PULSE_SERVER", ("unix:" + server.dir + "/native").c_str(), 1);
    unsetenv("SDL_AUDIODRIVER");
    return server;
}

void stopServer(const PrivateServer& server)
{
    if (server.pid > 0) {
        kill(server.pid, SIGKILL);
        waitpid(server.pid, nullptr, 0);
    }
    unsetenv("PULSE_SERVER");
    setenv("SDL_AUDIODRIVER", "dummy", 1);
}

// A server that keeps stalling: each stall hands the stream to the silent clock and back, and what
// was replaced is freed, not kept. Freed at the end while the server holds the last frames and a
// drain is asked for, which the leak checker sees.
TEST_F(Music, ServerThatKeepsStallingKeepsNoOldOutputs)
{
    musicFree();
    const PrivateServer server = startServer();
    ASSERT_GT(server.pid, 0);
    ASSERT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr));
    const uint32_t handle =
        musicStreamCreateFile(false, compose("stalls.wav", "--seconds 9 --format wav").c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << musicLastError();
    EXPECT_STREQ(musicOutputName(handle), "server");
    musicChannelPlay(handle, true);
    int switches = 0;
    for (int stall = 0; stall < 3; ++stall) {
        sleepFor(0.5);
        kill(server.pid, SIGSTOP);
        sleepFor(0.9);
        switches += std::string(musicOutputName(handle)) == "silent";
        kill(server.pid, SIGCONT);
        sleepFor(1.0);
        switches += std::string(musicOutputName(handle)) == "server";
    }
    EXPECT_EQ(switches, 6) << "the server did not stall and come back three times";
    EXPECT_LE(musicOutputsKept(handle), 2u);
    const uint64_t length = musicChannelGetLength(handle, musicPosByte);
    while (musicChannelGetPosition(handle, musicPosByte) < length - 4 * 4410)
        sleepFor(0.005);
    musicStreamFree(handle);
    musicFree();
    stopServer(server);
    ASSERT_TRUE(musicInit(1, 44100, 0, nullptr, nullptr));
}

} // namespace
