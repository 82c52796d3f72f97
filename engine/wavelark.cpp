// The recording engine's C entry points. One take at a time, run by a Recording; the status of
// the take is kept apart from the engine's lock so that it can be read at any moment.
#include "engine/exports.h"
#include "engine/pulse_client.h"
#include "engine/recording.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#define TW_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace tw::engine;

// What WavelarkStatus reads. Its mutex is held only to copy these, never across a call to the
// server, so the status answers while the engine's mutex is held by a stop or a frozen server.
struct StatusBoard {
    std::mutex mutex;
    std::shared_ptr<const TakeState> take;      // the take in progress or the last one
    std::shared_ptr<const TakeState> listening; // the input open between takes, if it is
    std::string capture;

    void set(std::shared_ptr<const TakeState> state, std::string path) {
        std::lock_guard guard(mutex);
        take = std::move(state);
        capture = std::move(path);
    }
};

struct Engine {
    std::mutex mutex;
    StatusBoard status;
    PulseClient client;
    // The selected inputs and their mix, for the next take or open input.
    Inputs inputs;
    std::unique_ptr<Recording> recording;
    // The input open between takes (pre-record, voice activation): the next take in its
    // format begins with the audio it holds.
    std::unique_ptr<Recording> listener;
    Format listenFormat;
    Inputs listenInputs;
    // For the next take that begins from the listener: start just before this loud a sample.
    float startShare = 0;
    std::chrono::milliseconds startMargin{};
    int64_t lastGapCount = 0;
    int64_t lastGapFrames = 0;
};

Engine& engine() {
    static Engine instance;
    return instance;
}

int32_t sourceCount(Engine& e) {
    const auto deadline = callDeadline();
    auto connection = e.client.connection(deadline);
    if (!connection)
        return kNoServer;
    LoopLock lock(connection->loop());
    auto sources = connection->listSourcesLocked(deadline);
    return sources ? static_cast<int32_t>(sources->size()) : kNoServer;
}

// The open input can become a take in `format`: it still runs, in that format, on the
// selected source.
bool listenerServes(const Engine& e, Format format) {
    return e.listener && !e.listener->failed() && e.listenFormat.channels == format.channels &&
           e.listenFormat.rate == format.rate && e.listenFormat.bits == format.bits &&
           e.listenInputs == e.inputs;
}

void closeListener(Engine& e) {
    e.startShare = 0;
    if (!e.listener)
        return;
    {
        std::lock_guard guard(e.status.mutex);
        e.status.listening.reset();
    }
    e.listener.reset();
}

// An input left open on other inputs would begin the next take with their audio.
void inputsChanged(Engine& e) {
    if (e.listener && e.listenInputs != e.inputs)
        closeListener(e);
}

int32_t listen(Engine& e, Format format, int32_t keepMs) {
    if (format.channels == 0) {
        closeListener(e);
        return kOk;
    }
    if (!format.valid() || keepMs < 0)
        return kBadArgument;
    if (e.recording)
        return kWrongState;
    const std::chrono::milliseconds keep(keepMs);
    if (listenerServes(e, format)) {
        e.listener->setKeep(keep);
        return kOk;
    }
    closeListener(e);
    const auto deadline = callDeadline();
    auto connection = e.client.connection(deadline);
    if (!connection)
        return kNoServer;
    auto listener = std::make_unique<Recording>(std::move(connection), format, e.inputs,
                                                Recording::Listening{keep});
    const int32_t result = listener->listen(deadline);
    if (result != kOk)
        return result;
    {
        std::lock_guard guard(e.status.mutex);
        e.status.listening = listener->state();
    }
    e.listener = std::move(listener);
    e.listenFormat = format;
    e.listenInputs = e.inputs;
    return kOk;
}

// The first input (mode 5) or, with `second`, the second (mode 7, where -1 is none).
int32_t selectSource(Engine& e, int32_t index, bool second = false) {
    if (second && index == -1) {
        e.inputs.second.reset();
        inputsChanged(e);
        return kOk;
    }
    if (index < 0)
        return kBadArgument;
    const auto deadline = callDeadline();
    auto connection = e.client.connection(deadline);
    if (!connection)
        return kNoServer;
    LoopLock lock(connection->loop());
    SourceEntry entry;
    if (const int32_t found = connection->sourceAtLocked(index, deadline, entry); found != kOk)
        return found;
    // Kept by name: the number of a source changes as devices come and go.
    (second ? e.inputs.second : e.inputs.source) = entry.name;
    inputsChanged(e);
    return kOk;
}

int32_t startRecording(Engine& e, Format format, bool test) {
    if (!format.valid())
        return kBadArgument;
    if (e.recording)
        return kWrongState;
    if (!test && listenerServes(e, format)) {
        const float share = e.startShare;
        std::unique_ptr<Recording> recording = std::move(e.listener);
        closeListener(e);
        const int32_t result = recording->begin(share, e.startMargin);
        if (result == kOk) {
            e.status.set(recording->state(), recording->capturePath());
            e.recording = std::move(recording);
            return kOk;
        }
        // The open input failed meanwhile: a take of its own may still start.
        recording->abandon();
    }
    closeListener(e);
    const auto deadline = callDeadline();
    auto connection = e.client.connection(deadline);
    if (!connection)
        return kNoServer;
    // The sound-card check hears the selected source alone.
    Inputs inputs = e.inputs;
    if (test) {
        inputs = {};
        inputs.source = e.inputs.source;
    }
    auto recording = std::make_unique<Recording>(std::move(connection), format, inputs, test);
    int32_t result = recording->start(deadline);
    if (result == kOk) {
        e.status.set(recording->state(), recording->capturePath());
        e.recording = std::move(recording);
    } else
        recording->abandon();
    return result;
}

int32_t stopRecording(Engine& e, const char* file) {
    // Without a path the take still ends (the program may be going away), kept as a capture.
    const bool noPath = !file || !*file;
    if (!e.recording)
        return noPath ? kBadArgument : kWrongState;
    const int32_t result = e.recording->finish(noPath ? std::string() : std::string(file));
    e.lastGapCount = e.recording->gapCount();
    e.lastGapFrames = e.recording->gapFrames();
    const bool left = result == kFileError || result == kNameTaken;
    e.status.set(e.recording->state(), left ? e.recording->capturePath() : std::string());
    e.recording.reset();
    return result;
}

int32_t pauseRecording(Engine& e, bool paused) {
    if (!e.recording)
        return kWrongState;
    if (e.recording->failed())
        return kNoServer;
    e.recording->setPaused(paused);
    return kOk;
}

// The source `number`, or with -1 the one a take would record: the selected source, else the
// server's default.
int32_t describeSource(Engine& e, int32_t number, std::string& description) {
    const auto deadline = callDeadline();
    auto connection = e.client.connection(deadline);
    if (!connection)
        return kNoServer;
    LoopLock lock(connection->loop());
    SourceEntry entry;
    if (number >= 0) {
        const int32_t found = connection->sourceAtLocked(number, deadline, entry);
        description = entry.description;
        return found;
    }
    std::optional<std::string> name = e.inputs.source;
    if (!name && !(name = connection->defaultSourceLocked(deadline)))
        return kNoServer;
    auto sources = connection->listSourcesLocked(deadline);
    if (!sources)
        return kNoServer;
    auto it = std::find_if(sources->begin(), sources->end(),
                           [&](const SourceEntry& s) { return s.name == *name; });
    if (it == sources->end())
        return kNoSource; // also a server without a default source
    description = it->description;
    return kOk;
}

// Whose level is reported: the take while it runs, else the open input between takes. A lost
// one reports none, so that the program opens it anew.
std::shared_ptr<const TakeState> measured() {
    StatusBoard& board = engine().status;
    std::lock_guard guard(board.mutex);
    if (board.take && board.take->phase.load() != 0)
        return board.take;
    if (board.listening &&
        (board.listening->problems.load() & (WavelarkServerLost | WavelarkSourceLost)) == 0)
        return board.listening;
    return nullptr;
}

// Cuts at a character's start, so that a short buffer still holds valid UTF-8.
void copyText(const std::string& text, char* out, size_t size) {
    size_t length = std::min(text.size(), size - 1);
    if (length < text.size())
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80)
            --length;
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

} // namespace

TW_EXPORT int32_t Wavelark(const char* file, int32_t mode, int32_t a, int32_t b, int32_t c,
                           int32_t d) {
    Engine& e = engine();
    std::lock_guard guard(e.mutex);
    switch (mode) {
    case 0:
        return stopRecording(e, file);
    case 1:
        return startRecording(e, Format{a, b, c}, d == 1);
    case 2:
        return pauseRecording(e, true);
    case 3:
        return pauseRecording(e, false);
    case 4:
        return sourceCount(e);
    case 5:
        return selectSource(e, d);
    case 6:
        return listen(e, Format{a, b, c}, d);
    case 7:
        return selectSource(e, d, true);
    default:
        return kBadArgument;
    }
}

// Diagnostics for the tests and the bench: the gaps of the take in progress, or of the last
// one. A gap is audio the engine never received, filled with silence of the same length.
TW_EXPORT int64_t WavelarkGapCount() {
    Engine& e = engine();
    std::lock_guard guard(e.mutex);
    return e.recording ? e.recording->gapCount() : e.lastGapCount;
}

TW_EXPORT int64_t WavelarkGapFrames() {
    Engine& e = engine();
    std::lock_guard guard(e.mutex);
    return e.recording ? e.recording->gapFrames() : e.lastGapFrames;
}

TW_EXPORT int32_t WavelarkStatus(WavelarkStatusInfo* info) {
    if (!info)
        return kBadArgument;
    StatusBoard& board = engine().status;
    std::lock_guard guard(board.mutex);
    *info = {};
    if (const auto& take = board.take) {
        info->take = take->phase.load();
        info->problems = take->problems.load();
        info->frames = take->frames.load();
        info->rate = take->rate;
        info->program = take->program.load();
    } else {
        info->program = -1;
    }
    const size_t length = std::min(board.capture.size(), sizeof info->capture - 1);
    std::memcpy(info->capture, board.capture.data(), length);
    info->capture[length] = '\0';
    return kOk;
}

TW_EXPORT int32_t WavelarkLevel(WavelarkLevelInfo* info) {
    if (!info)
        return kBadArgument;
    *info = {};
    const auto take = measured();
    if (!take)
        return kWrongState;
    *info = decodeLevel(take->level.load(std::memory_order_relaxed));
    return kOk;
}

TW_EXPORT int32_t WavelarkStartAtSound(float share, int32_t marginMs) {
    if (!(share >= 0 && share <= 1) || marginMs < 0)
        return kBadArgument;
    Engine& e = engine();
    std::lock_guard guard(e.mutex);
    e.startShare = share;
    e.startMargin = std::chrono::milliseconds(marginMs);
    return kOk;
}

TW_EXPORT int32_t WavelarkSourceDescription(int32_t number, char* out, int32_t size) {
    if (!out || size <= 0 || number < -1)
        return kBadArgument;
    out[0] = '\0';
    Engine& e = engine();
    std::lock_guard guard(e.mutex);
    std::string description;
    const int32_t result = describeSource(e, number, description);
    if (result == kOk)
        copyText(description, out, static_cast<size_t>(size));
    return result;
}

TW_EXPORT int32_t WavelarkSelectApplication(const char* name) {
    const std::string program = name ? name : "";
    if (program.size() > 255)
        return kBadArgument;
    Engine& e = engine();
    std::lock_guard guard(e.mutex);
    e.inputs.program = program;
    inputsChanged(e);
    return kOk;
}

TW_EXPORT int32_t WavelarkApplications(char* out, int32_t size) {
    if (!out || size <= 0)
        return kBadArgument;
    out[0] = '\0';
    Engine& e = engine();
    std::lock_guard guard(e.mutex);
    const auto deadline = callDeadline();
    auto connection = e.client.connection(deadline);
    if (!connection)
        return kNoServer;
    LoopLock lock(connection->loop());
    auto streams = connection->listProgramStreamsLocked(deadline);
    if (!streams)
        return kNoServer;
    std::sort(streams->begin(), streams->end(),
              [](const ProgramStream& a, const ProgramStream& b) { return a.program < b.program; });
    std::string text;
    int32_t count = 0;
    const std::string* last = nullptr;
    for (const ProgramStream& stream : *streams) {
        if (last && *last == stream.program)
            continue;
        last = &stream.program;
        // Tabs and line ends in a name or icon would break the lines apart.
        const auto field = [](std::string text) {
            std::replace_if(
                text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n'; }, ' ');
            return text;
        };
        std::string line = field(stream.program) + '\t' + field(stream.icon);
        line += '\n';
        if (text.size() + line.size() + 1 > static_cast<size_t>(size))
            break; // whole lines only
        text += line;
        ++count;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return count;
}

TW_EXPORT int32_t WavelarkMix(int32_t firstPercent, int32_t secondPercent, int32_t ownChannels) {
    if (firstPercent < 0 || firstPercent > 200 || secondPercent < 0 || secondPercent > 200 ||
        (ownChannels != 0 && ownChannels != 1))
        return kBadArgument;
    Engine& e = engine();
    std::lock_guard guard(e.mutex);
    e.inputs.firstPercent = firstPercent;
    e.inputs.secondPercent = secondPercent;
    e.inputs.ownChannels = ownChannels == 1;
    inputsChanged(e);
    return kOk;
}

TW_EXPORT int32_t WavelarkInputLevel(int32_t input, WavelarkLevelInfo* info) {
    if (!info || input < 0 || input > 1)
        return kBadArgument;
    *info = {};
    const auto take = measured();
    if (!take || input >= take->inputCount)
        return kWrongState;
    const LevelWord& word = take->levelsApart ? take->inputLevel[input] : take->level;
    *info = decodeLevel(word.load(std::memory_order_relaxed));
    return kOk;
}
