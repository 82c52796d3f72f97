// The C entry points of libWavelark.so and libVolume.so, for code that links them directly
// (the tests, the bench) and for the program, which loads them by file name.
#pragma once

#include <cstdint>

extern "C" {
// Recording engine: mode 0 stop and save to file, 1 record (a channels, b rate, c bits),
// 2 pause, 3 resume, 4 count sources, 5 select source d, 6 listen (a channels, b rate, c bits;
// d milliseconds kept; a = 0 closes the input), 7 select the second input d (numbered as for
// mode 5; -1 none). Negative results are errors. A record with
// d = 1 is a test take: its capture, if left behind, is not a take of the user's. Listening
// keeps the input open between takes and its last d ms (at most 10 s) in memory; the next
// record in the same format begins with them, and the level is reported meanwhile.
int32_t Wavelark(const char* file, int32_t mode, int32_t a, int32_t b, int32_t c, int32_t d);
// Diagnostics: gaps (audio never received, filled with silence) of the current or last take.
int64_t WavelarkGapCount();
int64_t WavelarkGapFrames();

// What went wrong during a take; the bits stay set until the next take begins.
enum WavelarkProblem : int32_t {
    WavelarkServerLost = 1,  // the record stream failed: the server went away
    WavelarkStalled = 2,     // no audio came for clearly longer than the source's rhythm
    WavelarkWriteFailed = 4, // the capture file refused data (disk full, file too large)
    WavelarkSourceLost = 8,  // the chosen input went away; the take holds only what it sent
    WavelarkInputLost = 16,  // one of two inputs went away; the take goes on with the other
};

// The state of the take in progress, or else of the last one. Never waits for the sound
// server, so it may be asked at any time, also while another call is running.
struct WavelarkStatusInfo {
    int32_t take;       // 0 no take, 1 recording, 2 paused
    int32_t problems;   // WavelarkProblem bits of the take in progress or the last one
    int64_t frames;     // frames of that take in its capture or on their way to it
    int32_t rate;       // its frames per second (0 before the first take)
    int32_t program;    // with a program chosen: 1 while a stream of it is recorded, 0 while it
                        // plays nothing; -1 with no program chosen
    char capture[4096]; // its capture file while it runs, or where it was left after a
                        // stop that could not put it at the path asked for; else ""
};
// Fills `info`; 0, or -1 for a null pointer.
int32_t WavelarkStatus(WavelarkStatusInfo* info);

// The input's level while a take runs (also while it is paused, so that the user can set the
// volume before resuming) or while the input is listened to between takes: the highest sample of
// the last ~100 ms of audio received, as a share of full scale, and whether a sample at (or within
// 0.1 % of) full scale came in that span. Read from atomics the capture path updates; never waits,
// may be asked from any thread.
struct WavelarkLevelInfo {
    float peak;      // 0..1; 0 as well for digital silence
    int32_t clipped; // 1 when the span held a sample at full scale
    int64_t updates; // counts the spans measured so far in this take: a reader sees news
};
// Fills `info`; 0, -1 for a null pointer, -3 when no take runs.
int32_t WavelarkLevel(WavelarkLevelInfo* info);

// The next take that begins from the open input (mode 6) starts `marginMs` before the first
// sample at or above `share` of full scale among the audio kept, when there is one: a take set
// off by sound then begins just before that sound, not the whole span before. Applies once;
// a share of 0 (the default) keeps the whole span. 0, or -1 for a share outside 0..1 or a
// negative margin.
int32_t WavelarkStartAtSound(float share, int32_t marginMs);

// The sound server's description of a source ("Monitor of Built-in Audio Analog Stereo"):
// source `number` as mode 5 numbers them, or with -1 the one in use (the selected source, else
// the server's default). Writes at most `size` bytes with the terminating zero into `out`.
// 0, -1 bad argument or no such number, -2 no server, -6 the selected source is gone (or the
// server names no default source).
int32_t WavelarkSourceDescription(int32_t number, char* out, int32_t size);

// The program whose sound alone a take records, in place of the selected source: its name as
// the server knows it (application.name), or "" / null for none. The take follows the program
// from stream to stream and holds silence while it plays nothing. 0, -1 for a name over 255
// bytes.
int32_t WavelarkSelectApplication(const char* name);
// The programs that have a playback stream now, one line each, "name\ticon\n" (icon: the
// icon name the program gives, or empty), sorted by name, each name once. Writes at most `size`
// bytes with the terminating zero (whole lines only). The number of programs, -1 bad argument,
// -2 no server.
int32_t WavelarkApplications(char* out, int32_t size);
// How the two inputs make one take: each one's level in percent (0..200) of its own, and with
// ownChannels = 1 and a stereo take the first input on the left channel and the second on the
// right. 0, -1 bad argument. Applies to takes begun after the call.
int32_t WavelarkMix(int32_t firstPercent, int32_t secondPercent, int32_t ownChannels);
// One input's level, as WavelarkLevel: input 0 the first (the selected source, or the chosen
// program), 1 the second. -1 bad argument, -3 no take or open input, or no such input in it.
int32_t WavelarkInputLevel(int32_t input, WavelarkLevelInfo* info);

// Mixer: range[0..1] = lowest and highest volume; sets every channel of the source. A
// volume is a position on that range, in proportion to the amplitude.
int32_t Volume(int32_t source, int32_t volume, int32_t* range);
// The source's volume now (its loudest channel) as such a position, or a negative result;
// range as for Volume. Changes nothing.
int32_t VolumeLevel(int32_t source, int32_t* range);
}
