#include "engine/pulse_client.h"

#include <algorithm>

namespace tw::engine {

namespace {

pa_usec_t rtclockAt(Clock::time_point when) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - Clock::now());
    return pa_rtclock_now() + static_cast<pa_usec_t>(std::max<int64_t>(left.count(), 0));
}

void contextStateChanged(pa_context*, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

struct SourceListing {
    pa_threaded_mainloop* loop = nullptr;
    std::vector<SourceEntry> sources;
    bool done = false;
    bool failed = false;
};

void sourceListed(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* listing = static_cast<SourceListing*>(userdata);
    if (eol != 0) {
        listing->failed = eol < 0;
        listing->done = true;
        pa_threaded_mainloop_signal(listing->loop, 0);
        return;
    }
    listing->sources.push_back({info->name, info->description ? info->description : "",
                                info->monitor_of_sink != PA_INVALID_INDEX, info->channel_map,
                                info->volume});
}

struct ServerInfo {
    pa_threaded_mainloop* loop = nullptr;
    std::string defaultSource;
    bool done = false;
};

void serverInfoReceived(pa_context*, const pa_server_info* info, void* userdata) {
    auto* server = static_cast<ServerInfo*>(userdata);
    if (info && info->default_source_name)
        server->defaultSource = info->default_source_name;
    server->done = true;
    pa_threaded_mainloop_signal(server->loop, 0);
}

struct StreamListing {
    pa_threaded_mainloop* loop = nullptr;
    std::vector<ProgramStream> streams;
    bool done = false;
    bool failed = false;
};

void sinkInputListed(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* listing = static_cast<StreamListing*>(userdata);
    if (eol != 0) {
        listing->failed = eol < 0;
        listing->done = true;
        pa_threaded_mainloop_signal(listing->loop, 0);
        return;
    }
    const char* name = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
    if (!name || !*name)
        return; // nothing the user could choose it by
    const char* icon = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_ICON_NAME);
    listing->streams.push_back({info->index, info->sink, name, icon ? icon : ""});
}

struct SinkMonitor {
    pa_threaded_mainloop* loop = nullptr;
    std::string monitor;
    bool done = false;
};

void sinkInfoReceived(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* sink = static_cast<SinkMonitor*>(userdata);
    if (eol == 0 && info && info->monitor_source_name) {
        sink->monitor = info->monitor_source_name;
        return;
    }
    sink->done = true;
    pa_threaded_mainloop_signal(sink->loop, 0);
}

struct DefaultSink {
    pa_threaded_mainloop* loop = nullptr;
    std::string name;
    bool done = false;
};

void defaultSinkReceived(pa_context*, const pa_server_info* info, void* userdata) {
    auto* sink = static_cast<DefaultSink*>(userdata);
    if (info && info->default_sink_name)
        sink->name = info->default_sink_name;
    sink->done = true;
    pa_threaded_mainloop_signal(sink->loop, 0);
}

} // namespace

std::optional<std::vector<ProgramStream>>
Connection::listProgramStreamsLocked(Clock::time_point deadline) {
    StreamListing listing;
    listing.loop = loop_.get();
    if (!finishLocked(
            pa_context_get_sink_input_info_list(context_.get(), sinkInputListed, &listing),
            listing.done, deadline) ||
        listing.failed)
        return std::nullopt;
    return std::move(listing.streams);
}

std::optional<std::string> Connection::defaultMonitorLocked(Clock::time_point deadline) {
    DefaultSink sink;
    sink.loop = loop_.get();
    if (!finishLocked(pa_context_get_server_info(context_.get(), defaultSinkReceived, &sink),
                      sink.done, deadline) ||
        sink.name.empty())
        return std::nullopt;
    SinkMonitor monitor;
    monitor.loop = loop_.get();
    if (!finishLocked(pa_context_get_sink_info_by_name(context_.get(), sink.name.c_str(),
                                                       sinkInfoReceived, &monitor),
                      monitor.done, deadline) ||
        monitor.monitor.empty())
        return std::nullopt;
    return std::move(monitor.monitor);
}

void Connection::subscribed(pa_context*, pa_subscription_event_type_t event, uint32_t, void* self) {
    if ((event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT)
        return;
    // A copy: a watcher may unwatch while it is called.
    const auto watchers = static_cast<Connection*>(self)->watchers_;
    for (const auto& [key, watch] : watchers)
        watch();
}

void Connection::watchProgramStreamsLocked(const void* key, std::function<void()> watch) {
    watchers_.emplace_back(key, std::move(watch));
    if (subscribed_)
        return;
    subscribed_ = true;
    pa_context_set_subscribe_callback(context_.get(), subscribed, this);
    // Left to run: it needs no answer.
    if (pa_operation* op =
            pa_context_subscribe(context_.get(), PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr))
        pa_operation_unref(op);
}

void Connection::unwatchProgramStreamsLocked(const void* key) {
    std::erase_if(watchers_, [key](const auto& w) { return w.first == key; });
}

void Completion::onSuccess(pa_context*, int success, void* self) {
    auto* completion = static_cast<Completion*>(self);
    completion->done = true;
    completion->success = success != 0;
    pa_threaded_mainloop_signal(completion->loop, 0);
}

Connection::DeadlineTimer::DeadlineTimer(Connection& c, Clock::time_point deadline)
    : connection_(c) {
    event_ = pa_context_rttime_new(c.context(), rtclockAt(deadline), &DeadlineTimer::fired, this);
    if (!event_)
        expired_ = true;
}

Connection::DeadlineTimer::~DeadlineTimer() {
    if (event_)
        pa_threaded_mainloop_get_api(connection_.loop())->time_free(event_);
}

void Connection::DeadlineTimer::fired(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                      void* self) {
    auto* timer = static_cast<DeadlineTimer*>(self);
    timer->expired_ = true;
    pa_threaded_mainloop_signal(timer->connection_.loop(), 0);
}

Connection::~Connection() {
    if (!loop_)
        return;
    if (context_) {
        LoopLock lock(loop_.get());
        context_.reset();
    }
    if (started_)
        pa_threaded_mainloop_stop(loop_.get());
}

bool Connection::open(Clock::time_point deadline) {
    loop_.reset(pa_threaded_mainloop_new());
    if (!loop_)
        return false;
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tunewright");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "tunewright");
    context_.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_.get()),
                                                "Tunewright", props));
    pa_proplist_free(props);
    if (!context_)
        return false;
    pa_context_set_state_callback(context_.get(), contextStateChanged, loop_.get());
    // No autospawn: a missing server is an error to report, not a daemon to start behind the
    // user's back.
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    if (pa_threaded_mainloop_start(loop_.get()) < 0)
        return false;
    started_ = true;
    LoopLock lock(loop_.get());
    return waitLocked([this] { return readyLocked(); }, deadline);
}

bool Connection::ready() {
    LoopLock lock(loop_.get());
    return readyLocked();
}

bool Connection::readyLocked() const {
    return context_ && pa_context_get_state(context_.get()) == PA_CONTEXT_READY;
}

bool Connection::deadLocked() const {
    return !context_ || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()));
}

bool Connection::finishLocked(pa_operation* op, const bool& flag, Clock::time_point deadline) {
    OperationPtr owner(op);
    if (!owner)
        return false;
    return waitLocked([&flag] { return flag; }, deadline);
}

int32_t Connection::sourceAtLocked(int32_t index, Clock::time_point deadline, SourceEntry& out) {
    auto sources = listSourcesLocked(deadline);
    if (!sources)
        return kNoServer;
    if (index < 0 || static_cast<size_t>(index) >= sources->size())
        return kBadArgument;
    out = (*sources)[static_cast<size_t>(index)];
    return kOk;
}

std::optional<std::string> Connection::defaultSourceLocked(Clock::time_point deadline) {
    ServerInfo server;
    server.loop = loop_.get();
    if (!finishLocked(pa_context_get_server_info(context_.get(), serverInfoReceived, &server),
                      server.done, deadline))
        return std::nullopt;
    return std::move(server.defaultSource);
}

std::optional<std::vector<SourceEntry>> Connection::listSourcesLocked(Clock::time_point deadline) {
    SourceListing listing;
    listing.loop = loop_.get();
    if (!finishLocked(pa_context_get_source_info_list(context_.get(), sourceListed, &listing),
                      listing.done, deadline) ||
        listing.failed)
        return std::nullopt;
    // Microphones and line inputs first, then what the outputs play; by name within each
    // group, since server indexes change whenever the server or a device restarts.
    std::stable_sort(listing.sources.begin(), listing.sources.end(),
                     [](const SourceEntry& a, const SourceEntry& b) {
                         if (a.monitor != b.monitor)
                             return !a.monitor;
                         return a.name < b.name;
                     });
    return std::move(listing.sources);
}

std::shared_ptr<Connection> PulseClient::connection(Clock::time_point deadline) {
    if (current_ && current_->ready())
        return current_;
    current_.reset();
    auto fresh = std::make_shared<Connection>();
    if (!fresh->open(deadline))
        return nullptr;
    current_ = fresh;
    return current_;
}

} // namespace tw::engine
