// Writes the test chime: two bell partials with a soft attack and an exponential decay,
// about a second long, 22050 Hz 16-bit mono.
#include <cmath>
#include <cstdio>
#include <sndfile.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_chime OUTPUT.wav\n");
        return 2;
    }
    const int rate = 22050;
    const int frames = rate * 12 / 10;
    const double pi = std::acos(-1.0);
    std::vector<short> samples(frames);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double attack = std::min(1.0, t / 0.01);
        const double bell = 0.55 * std::sin(2 * pi * 1318.5 * t) * std::exp(-3.0 * t) +
                            0.35 * std::sin(2 * pi * 1046.5 * t) * std::exp(-2.2 * t) +
                            0.10 * std::sin(2 * pi * 2637.0 * t) * std::exp(-6.0 * t);
        samples[i] = static_cast<short>(std::lround(bell * attack * 0.8 * 32767));
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(argv[1], SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "make_chime: %s\n", sf_strerror(nullptr));
        return 1;
    }
    const sf_count_t written = sf_write_short(file, samples.data(), frames);
    sf_close(file);
    return written == frames ? 0 : 1;
}
