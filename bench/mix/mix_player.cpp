// A program that plays one tone on a stream of its own and ends: the sound the one-program
// bench follows. Its first sample is the tone's onset, so nothing of it is quiet lead-in.
//
//   mix_player NAME TONE_MS [LEAD_MS]
//
// NAME is its application.name. Prints, on CLOCK_MONOTONIC in ns: connect (before it asked for
// the stream), ready (the stream connected), drained (the server played the last sample), and
// the latency the server reported after the first write.
#include "bench/support/PacedFeeder.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: mix_player NAME TONE_MS [LEAD_MS]\n");
        return 2;
    }
    constexpr int kRate = 48000;
    const int toneFrames = std::atoi(argv[2]) * kRate / 1000;
    const int leadFrames = argc == 4 ? std::atoi(argv[3]) * kRate / 1000 : 0;
    const pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 1};
    // A player's usual target of tens of milliseconds, not the server's 2 s: the null sink then
    // renders in short blocks, as a sound card driven for such a player would.
    pa_buffer_attr attr{};
    attr.maxlength = attr.prebuf = attr.minreq = attr.fragsize = uint32_t(-1);
    attr.tlength = uint32_t(pa_usec_to_bytes(40000, &spec));
    const int64_t connect = tw::bench::monotonicNs();
    int error = 0;
    pa_simple* s = pa_simple_new(nullptr, argv[1], PA_STREAM_PLAYBACK, nullptr, "tone", &spec,
                                 nullptr, &attr, &error);
    const int64_t ready = tw::bench::monotonicNs();
    if (!s) {
        std::fprintf(stderr, "mix_player: %s\n", pa_strerror(error));
        return 1;
    }
    std::vector<int16_t> sound(size_t(leadFrames + toneFrames), 0);
    for (int n = 0; n < toneFrames; ++n)
        sound[size_t(leadFrames + n)] =
            int16_t(std::lround(16384 * std::sin(2 * M_PI * 1000 * n / kRate)));
    // The first 10 ms alone, so that the latency is the server's view right after the onset.
    const size_t first = std::min(sound.size(), size_t(kRate / 100));
    pa_usec_t latency = 0;
    if (pa_simple_write(s, sound.data(), first * 2, &error) < 0 ||
        (latency = pa_simple_get_latency(s, &error)) == pa_usec_t(-1) ||
        pa_simple_write(s, sound.data() + first, (sound.size() - first) * 2, &error) < 0 ||
        pa_simple_drain(s, &error) < 0) {
        std::fprintf(stderr, "mix_player: %s\n", pa_strerror(error));
        pa_simple_free(s);
        return 1;
    }
    const int64_t drained = tw::bench::monotonicNs();
    pa_simple_free(s);
    std::printf("connect=%lld ready=%lld drained=%lld latency_us=%llu\n", (long long)connect,
                (long long)ready, (long long)drained, (unsigned long long)latency);
    return 0;
}
