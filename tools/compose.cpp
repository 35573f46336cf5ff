// Composes the demo's music, an original piece in C major, and encodes it through libsndfile.
// Deterministic: the same arguments give the same samples.
//
//   quillvane-compose OUT [--seconds S] [--rate HZ] [--channels N] [--format ogg|flac|wav] [--silent]
//                     [--links N]
// With --links, N tracks of S seconds each joined one after the other, as cat joins files: an Ogg
// chain of N links, each with a serial number of its own.

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

constexpr double pi = 3.14159265358979323846;
constexpr double tempo = 112.0;
constexpr double beat = 60.0 / tempo;
constexpr double bar = 4.0 * beat;

// Chords as semitones above middle C: I, vi, IV, V.
constexpr int chords[4][3] = {{0, 4, 7}, {-3, 0, 4}, {-7, -3, 0}, {-5, -1, 2}};
// The tune, one scale step an eighth note (-1 rests), two bars a phrase.
constexpr int tune[2][16] = {
    {4, -1, 4, 5, 7, -1, 5, 4, 2, -1, 0, 2, 4, -1, -1, -1},
    {5, -1, 4, 2, 0, -1, 2, 4, 2, -1, -1, 0, -1, -1, -1, -1},
};
constexpr int scale[8] = {0, 2, 4, 5, 7, 9, 11, 12};

static double frequency(int semitonesFromMiddleC)
{
    return 261.6256 * std::pow(2.0, semitonesFromMiddleC / 12.0);
}

static double triangle(double phase)
{
    const double x = phase - std::floor(phase);
    return x < 0.5 ? 4.0 * x - 1.0 : 3.0 - 4.0 * x;
}

// Deterministic noise from the sample index.
static double noise(uint64_t n)
{
    n = (n ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    n = (n ^ (n >> 31)) * 0x94D049BB133111EBull;
    return double(n >> 11) / double(1ull << 53) * 2.0 - 1.0;
}

struct Frame {
    double left;
    double right;
};

static Frame sampleAt(double t, uint64_t index, double total)
{
    const int barIndex = int(t / bar);
    const double inBar = t - barIndex * bar;
    const double lastBarStart = std::max(0.0, total - 2.0 * bar);
    const bool ending = t >= lastBarStart;
    const int chord = ending ? 0 : barIndex % 4;
    const bool drums = barIndex >= 2 && !ending;
    const bool melody = barIndex >= 4 && !ending;

    // Pad: the chord's three notes, each a pair of slightly detuned sines.
    double pad = 0.0;
    for (int note : chords[chord])
        for (double detune : {0.998, 1.002})
            pad += std::sin(2.0 * pi * frequency(note) * detune * t);
    pad *= 0.05 * std::min(1.0, inBar / 0.3);

    // Bass: the chord's root two octaves down, plucked on beats one and three.
    const double beatIn = std::fmod(inBar, 2.0 * beat);
    const double bassFreq = frequency(chords[chord][0] - 24 + (chord == 1 ? 12 : 0));
    double bass = (std::sin(2.0 * pi * bassFreq * t) + 0.3 * std::sin(4.0 * pi * bassFreq * t)) *
                  std::exp(-beatIn * 3.0) * 0.22;

    double lead = 0.0;
    if (melody) {
        const double eighth = beat / 2.0;
        const int step = int(inBar / eighth) % 16;
        const int degree = tune[barIndex % 2][step];
        if (degree >= 0) {
            const double since = std::fmod(inBar, eighth);
            const double envelope = std::min(1.0, since / 0.01) * std::exp(-since * 4.0);
            lead = triangle(frequency(12 + scale[degree]) * t) * envelope * 0.12;
        }
    }

    double kick = 0.0, snare = 0.0, hat = 0.0;
    if (drums) {
        const double inBeat = std::fmod(inBar, beat);
        const int beatNumber = int(inBar / beat);
        if (beatNumber % 2 == 0)
            kick = std::sin(2.0 * pi * (50.0 * inBeat + (100.0 / 30.0) * (1.0 - std::exp(-inBeat * 30.0)))) *
                   std::exp(-inBeat * 12.0) * 0.45;
        else
            snare = (noise(index) * 0.6 + 0.4 * std::sin(2.0 * pi * 190.0 * inBeat)) * std::exp(-inBeat * 18.0) * 0.2;
        const double inEighth = std::fmod(inBar, beat / 2.0);
        hat = noise(index * 7 + 3) * std::exp(-inEighth * 60.0) * 0.06;
    }

    // The last two bars ring out on the tonic and fade to nothing.
    double fade = 1.0;
    if (ending)
        fade = std::max(0.0, (total - t) / std::max(1e-9, total - lastBarStart));
    // Short tracks fade in and out quickly, so they never start or end on a click.
    fade *= std::min(1.0, t / 0.02);

    const double centre = (pad + bass + kick + snare) * fade;
    return {centre + (lead * 0.7 + hat * 0.3) * fade, centre + (lead * 0.3 + hat * 0.7) * fade};
}

static int usage()
{
    std::fprintf(stderr,
                 "usage: quillvane-compose OUT [--seconds S] [--rate HZ] [--channels N] [--format ogg|flac|wav] "
                 "[--silent] [--links N]\n");
    return 2;
}

static int writeTrack(const char* out, SF_INFO info, double seconds, bool silent)
{
    const int rate = info.samplerate;
    const int channels = info.channels;
    SNDFILE* file = sf_open(out, SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "quillvane-compose: %s: %s\n", out, sf_strerror(nullptr));
        return 1;
    }
    double quality = 0.4;
    sf_command(file, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality);

    const int64_t frames = std::llround(seconds * rate);
    constexpr int64_t chunk = 4096;
    std::vector<float> buffer(size_t(chunk * channels));
    for (int64_t start = 0; start < frames; start += chunk) {
        const int64_t count = std::min(chunk, frames - start);
        for (int64_t f = 0; f < count; ++f) {
            const int64_t index = start + f;
            const Frame s = silent ? Frame{0, 0} : sampleAt(double(index) / rate, uint64_t(index), seconds);
            for (int c = 0; c < channels; ++c) {
                // Mono takes the middle; further channels repeat the pair, a little quieter.
                const double v = channels == 1 ? (s.left + s.right) / 2 : (c % 2 == 0 ? s.left : s.right) * (c < 2 ? 1.0 : 0.5);
                buffer[size_t(f * channels + c)] = float(v);
            }
        }
        if (sf_writef_float(file, buffer.data(), count) != count) {
            std::fprintf(stderr, "quillvane-compose: %s: %s\n", out, sf_strerror(file));
            sf_close(file);
            return 1;
        }
    }
    sf_close(file);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    const char* out = argv[1];
    double seconds = 45.0;
    int rate = 44100;
    int channels = 2;
    std::string format = "ogg";
    bool silent = false;
    int links = 1;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            seconds = std::atof(argv[++i]);
        else if (arg == "--rate" && hasValue)
            rate = std::atoi(argv[++i]);
        else if (arg == "--channels" && hasValue)
            channels = std::atoi(argv[++i]);
        else if (arg == "--format" && hasValue)
            format = argv[++i];
        else if (arg == "--silent")
            silent = true;
        else if (arg == "--links" && hasValue)
            links = std::atoi(argv[++i]);
        else
            return usage();
    }
    if (seconds < 0 || rate < 1000 || channels < 1 || channels > 64 || links < 1)
        return usage();

    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    if (format == "ogg")
        info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    else if (format == "flac")
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    else if (format == "wav")
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    else
        return usage();

    if (links == 1)
        return writeTrack(out, info, seconds, silent);
    // Each link written alone, then appended.
    const std::string part = std::string(out) + ".link";
    FILE* joined = std::fopen(out, "wb");
    if (!joined)
        return 1;
    for (int i = 0; i < links; ++i) {
        FILE* link = writeTrack(part.c_str(), info, seconds, silent) == 0 ? std::fopen(part.c_str(), "rb") : nullptr;
        if (!link) {
            std::fclose(joined);
            return 1;
        }
        char block[65536];
        for (size_t got; (got = std::fread(block, 1, sizeof block, link)) > 0;)
            std::fwrite(block, 1, got, joined);
        std::fclose(link);
    }
    std::remove(part.c_str());
    return std::fclose(joined) == 0 ? 0 : 1;
}
