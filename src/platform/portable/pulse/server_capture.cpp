// The sound server's client as a recorder of the Linux wave input (wave_input.h): one connection
// to the server (PulseAudio, or PipeWire's pulse server) on libpulse's threaded main loop, the
// server's sources as the device list, and one record stream per open device.
//
// - The list: every source, monitors included, by the server's description, in the server's
//   order; the mapper records the server's default source and follows it when it changes.
// - The server's events keep the list up to date; a change of it becomes WM_DEVICECHANGE. When
//   the server goes away the list empties (a change too), and the client connects again about
//   once a second by itself; the program then reopens its input by name, as on any change.
// - A stream asks for exactly the program's format (the server converts) and is read out
//   whole at every wake-up, from the server's shared memory when it offers it.
//
// Two threads: the GUI thread calls the recorder and takes the loop's lock only for a moment to
// start or end a stream; the loop thread runs every callback, holding that lock. The server is
// only ever spoken to asynchronously, so a server that is stopped or gone never holds the GUI
// thread: at worst an open is refused as busy, and the program tries again.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "korvelt_version.h"
#include "platform/platform.h"
#include "platform/portable/pulse/wave_input.h"

namespace {

// Frames per fragment: the longest the server gathers sound before it hands it over (it hands
// over sooner when another client makes it mix more often). Each hand-over wakes the server (for
// a monitor, the sink's mixing too) and our loop thread, so the server's cost falls as fragments
// grow, while the display may lag one fragment plus one tick behind the sound. Measured with
// tests/e2e/measure-cpu.sh (a tone into a null sink, its monitor recorded; medians of 3), the
// PulseAudio server above its idle: +3.4 % of a core at 256 frames, +2.55 % at 512, +1.85 % at
// 768, +1.45 % at 1024 (23.2 ms), +1.05 % at 1536, +0.75 % at 2048; SDL's capture of 1024-frame
// periods over the socket +1.65 % in the same conditions. Shared memory costs the server less
// than the socket (+1.45 % against +1.95 % at 1024 frames). 1024 frames keeps the display within
// about 55 ms of the sound, with new sound at every tick; 2048 would halve the server's cost but
// leave the display up to 80 ms behind, its sound renewed only 21 times a second.
constexpr uint32_t FRAGMENT_FRAMES = 1024;

// Sound that finds no queued buffer waits in a FIFO; older sound makes room for newer, so the
// delay stays bounded. A wake-up normally brings one fragment, which the eight buffers and the
// program's prompt re-queueing take in full; the FIFO covers a few fragments at once, as after
// the loop thread was held up.
constexpr uint32_t FIFO_FRAGMENTS = 4;
constexpr size_t FIFO_MIN_BYTES = 8 * 512;

// A live server connects again, or answers a new stream, within milliseconds. A stream it has
// not answered for this long means it does not answer now (stopped, or hung): opens are then
// refused as busy instead of piling up streams it would have to answer later.
constexpr uint64_t UNANSWERED_US = 500000;
// How soon after losing the server the client tries again; and how often it looks for one
// when none has answered since the start (SDL's capture records meanwhile).
constexpr uint64_t RECONNECT_US = 1000000;
constexpr uint64_t LOOK_FOR_SERVER_US = 5000000;

constexpr const char* STREAM_NAME = "Level meter input";

uint64_t NowMicros() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

struct ServerDevice : CaptureDevice {
    // Loop thread, or under the loop's lock:
    pa_stream* stream = nullptr;
    std::string source;          // the source its stream records (the mapper: the default then)
    uint64_t connection = 0;     // which connection the stream was made on
    uint64_t asked_us = 0;       // when the stream was asked for; 0 once the server answered
};

// A stream given up before the server answered it: kept until the server has, so that it can
// be ended then (a stream cannot be ended before it exists on the server).
struct OrphanStream {
    pa_stream* stream;
    uint64_t asked_us;           // 0 once answered
};

struct ServerClient {
    pa_threaded_mainloop* loop = nullptr;
    pa_mainloop_api* api = nullptr;

    // Loop thread, or under the loop's lock:
    pa_context* context = nullptr;            // null between connections
    uint64_t connection = 0;                  // serial number of `context`
    pa_time_event* retry = nullptr;
    int fetches = 0;                          // answers still to come for the list being read
    bool fetch_again = false;                 // the server changed while it was being read
    std::vector<ListedDevice> fetched;
    std::string fetched_default;
    std::vector<std::shared_ptr<ServerDevice>> devices;   // open devices
    std::vector<OrphanStream> orphans;
    uint32_t fragment_bytes = 0;              // what the server granted the last stream

    // Published for the GUI thread, under `published_mutex`:
    std::mutex published_mutex;
    std::condition_variable first_attempt_ended;
    bool attempted = false;                   // the first connection was made or failed
    bool answered = false;                    // a connection has been made at some time
    std::vector<ListedDevice> sources;
    std::string default_source;
};

// Made once and never freed: the loop thread may still run when static objects are destroyed
// at exit (in programs that never call Finish).
ServerClient& client = *new ServerClient;

// ---- the published list -------------------------------------------------------------------

// Loop thread. What the GUI thread sees from now on; a changed list is announced.
void Publish(bool connected, const std::vector<ListedDevice>& sources, const std::string& default_source) {
    bool changed;
    {
        std::lock_guard<std::mutex> lock(client.published_mutex);
        changed = client.sources != sources;
        client.sources = sources;
        client.default_source = default_source;
        if (connected) client.answered = true;
        client.attempted = true;
    }
    client.first_attempt_ended.notify_all();
    if (changed) PostDeviceChange();
}

// The source the mapper records: the server's default, or, should the server name none that
// it lists, its first source; empty when it has none.
std::string MapperSource(const std::vector<ListedDevice>& sources, const std::string& default_source) {
    for (const ListedDevice& source : sources)
        if (source.name == default_source) return default_source;
    return sources.empty() ? std::string() : sources.front().name;
}

// ---- streams (loop thread, or under the loop's lock) --------------------------------------

bool StreamAlive(pa_stream* stream) {
    if (!stream) return false;
    pa_stream_state_t state = pa_stream_get_state(stream);
    return state == PA_STREAM_CREATING || state == PA_STREAM_READY;
}

void ReadStream(pa_stream* stream, size_t, void* userdata) {
    ServerDevice* device = (ServerDevice*)userdata;
    // Everything the server has handed over, at once: one lock, and one wake-up of the GUI
    // thread, however many fragments came.
    CaptureBatch batch(*device);
    for (;;) {
        const void* data = nullptr;
        size_t length = 0;
        if (pa_stream_peek(stream, &data, &length) < 0 || length == 0) break;
        // No data with a length is a hole in the stream: silence, so the sound keeps its time.
        batch.Add((const uint8_t*)data, length);
        pa_stream_drop(stream);
    }
}

void StreamStateChanged(pa_stream* stream, void* userdata) {
    ServerDevice* device = (ServerDevice*)userdata;
    pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_CREATING) return;
    device->asked_us = 0;
    if (state == PA_STREAM_READY) {
        if (const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream)) client.fragment_bytes = attr->fragsize;
    }
    // A stream that failed (its source went away: it is not moved elsewhere) or ended simply
    // delivers nothing more; the program notices the silence and reopens.
}

// An orphan's life after we gave it up: ended as soon as the server has made it, forgotten once
// it has ended.
void OrphanStateChanged(pa_stream* stream, void*) {
    pa_stream_state_t state = pa_stream_get_state(stream);
    auto it = std::find_if(client.orphans.begin(), client.orphans.end(),
                           [stream](const OrphanStream& o) { return o.stream == stream; });
    if (it == client.orphans.end()) return;
    if (state == PA_STREAM_READY) {
        it->asked_us = 0;
        pa_stream_disconnect(stream);
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        client.orphans.erase(it);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
    }
}

// Ends `device`'s stream, if it has one; no callback reaches the device afterwards.
void DropStream(ServerDevice& device) {
    pa_stream* stream = device.stream;
    if (!stream) return;
    device.stream = nullptr;
    device.asked_us = 0;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_CREATING) {
        // Asked for, not made yet: ended once the server has made it.
        pa_stream_set_state_callback(stream, OrphanStateChanged, nullptr);
        client.orphans.push_back(OrphanStream{stream, NowMicros()});
        return;
    }
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (state == PA_STREAM_READY) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

pa_sample_spec ServerSampleFormat(const WaveFormat& format) {
    pa_sample_spec sample;
    sample.format = format.wBitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    sample.rate = format.nSamplesPerSec;
    sample.channels = (uint8_t)format.nChannels;
    return sample;
}

// Asks the server for a record stream from `source` into `device`; false when it cannot even
// be asked (no connection, or the library refuses).
bool StartStream(ServerDevice& device, const std::string& source) {
    if (!client.context || pa_context_get_state(client.context) != PA_CONTEXT_READY) return false;
    const pa_sample_spec sample = ServerSampleFormat(device.format);
    pa_stream* stream = pa_stream_new(client.context, STREAM_NAME, &sample, nullptr);
    if (!stream) return false;
    pa_buffer_attr attr;
    attr.maxlength = (uint32_t)-1;
    attr.tlength = (uint32_t)-1;
    attr.prebuf = (uint32_t)-1;
    attr.minreq = (uint32_t)-1;
    attr.fragsize = FRAGMENT_FRAMES * device.format.nBlockAlign;
    pa_stream_set_state_callback(stream, StreamStateChanged, &device);
    pa_stream_set_read_callback(stream, ReadStream, &device);
    // The source's own latency follows the fragment, so the sound comes in fragments as it
    // happens; the stream stays on its source (when that goes away the stream ends, and the
    // program reopens by name instead of recording whatever the server moves it to).
    pa_stream_flags_t flags = (pa_stream_flags_t)(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source.c_str(), &attr, flags) < 0) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
        return false;
    }
    device.stream = stream;
    device.source = source;
    device.connection = client.connection;
    device.asked_us = NowMicros();
    return true;
}

// True when the server has left a stream unanswered for UNANSWERED_US.
bool ServerNotAnswering() {
    uint64_t now = NowMicros();
    auto late = [now](uint64_t asked_us) { return asked_us != 0 && now - asked_us > UNANSWERED_US; };
    for (const auto& device : client.devices)
        if (late(device->asked_us)) return true;
    for (const OrphanStream& orphan : client.orphans)
        if (late(orphan.asked_us)) return true;
    return false;
}

// The mapper follows the default source: its streams move to a new one (as a fresh stream, so
// the server keeps no record of a move the user never made), and one whose source went away
// records the new default as soon as there is one.
void FollowDefault(const std::vector<ListedDevice>& sources, const std::string& default_source) {
    std::string target = MapperSource(sources, default_source);
    if (target.empty()) return;
    for (const auto& device : client.devices) {
        if (!device->use_default || device->connection != client.connection) continue;
        if (device->source == target && StreamAlive(device->stream)) continue;
        DropStream(*device);
        StartStream(*device, target);
    }
}

// ---- the connection (loop thread) -----------------------------------------------------------

void Connect();

void RetryConnect(pa_mainloop_api* api, pa_time_event*, const struct timeval*, void*) {
    Connect();
}

void ScheduleReconnect() {
    bool answered;
    {
        std::lock_guard<std::mutex> lock(client.published_mutex);
        answered = client.answered;
    }
    struct timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, answered ? RECONNECT_US : LOOK_FOR_SERVER_US);
    if (client.retry) client.api->time_restart(client.retry, &when);
    else client.retry = client.api->time_new(client.api, &when, RetryConnect, nullptr);
}

// The connection ended (or never came about): every stream of it is dead, the list empties,
// and the client tries again shortly.
void LoseConnection() {
    pa_context* context = client.context;
    if (!context) return;
    client.context = nullptr;
    for (const auto& device : client.devices)
        if (device->connection == client.connection) DropStream(*device);
    // Orphans of a dead connection will never be answered; they ended with it.
    for (const OrphanStream& orphan : client.orphans) {
        pa_stream_set_state_callback(orphan.stream, nullptr, nullptr);
        pa_stream_unref(orphan.stream);
    }
    client.orphans.clear();
    client.fetches = 0;
    client.fetch_again = false;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    Publish(false, {}, "");
    ScheduleReconnect();
}

void Fetch();

void ListFetched() {
    if (--client.fetches > 0) return;
    if (client.fetch_again) {
        client.fetch_again = false;
        Fetch();
        return;
    }
    Publish(true, client.fetched, client.fetched_default);
    FollowDefault(client.fetched, client.fetched_default);
}

void ServerInfoRead(pa_context* context, const pa_server_info* info, void*) {
    if (context != client.context) return;
    client.fetched_default = info && info->default_source_name ? info->default_source_name : "";
    ListFetched();
}

void SourceRead(pa_context* context, const pa_source_info* info, int eol, void*) {
    if (context != client.context) return;
    if (eol != 0 || !info) {
        ListFetched();
        return;
    }
    const char* description = info->description && *info->description ? info->description : info->name;
    client.fetched.push_back(ListedDevice{info->name, description});
}

// Reads the server's sources and default source anew; a read already under way is repeated
// once it is done, so the last change is always seen.
void Fetch() {
    if (client.fetches > 0) {
        client.fetch_again = true;
        return;
    }
    pa_context* context = client.context;
    client.fetched.clear();
    client.fetched_default.clear();
    pa_operation* info = pa_context_get_server_info(context, ServerInfoRead, nullptr);
    pa_operation* list = pa_context_get_source_info_list(context, SourceRead, nullptr);
    client.fetches = (info ? 1 : 0) + (list ? 1 : 0);
    if (info) pa_operation_unref(info);
    if (list) pa_operation_unref(list);
    if (!info || !list) LoseConnection();
}

void ServerEvent(pa_context* context, pa_subscription_event_type_t, uint32_t, void*) {
    // Sources coming, going or renamed, or the default source changing: read them again.
    if (context == client.context) Fetch();
}

void ContextStateChanged(pa_context* context, void*) {
    if (context != client.context) return;
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        pa_context_set_subscribe_callback(context, ServerEvent, nullptr);
        pa_subscription_mask_t mask = (pa_subscription_mask_t)(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
        if (pa_operation* subscribed = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(subscribed);
        Fetch();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        LoseConnection();
        break;
    default:
        break;
    }
}

void Connect() {
    if (client.context) return;
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "korvelt");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "org.korvelt.Korvelt");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "korvelt");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_VERSION, KORVELT_VERSION_STRING);
    pa_context* context = pa_context_new_with_proplist(client.api, "korvelt", properties);
    pa_proplist_free(properties);
    if (!context) {
        Publish(false, {}, "");
        ScheduleReconnect();
        return;
    }
    client.context = context;
    ++client.connection;
    pa_context_set_state_callback(context, ContextStateChanged, nullptr);
    // Never start a server for ourselves: if none runs, SDL's capture records, or we wait.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) LoseConnection();
}

// ---- the recorder --------------------------------------------------------------------------

class LoopLock {
public:
    LoopLock() { pa_threaded_mainloop_lock(client.loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(client.loop); }
};

class ServerCapture : public CaptureRecorder {
public:
    std::vector<ListedDevice> Devices() override {
        std::lock_guard<std::mutex> lock(client.published_mutex);
        return client.sources;
    }

    std::shared_ptr<CaptureDevice> NewDevice() override { return std::make_shared<ServerDevice>(); }

    uint32_t Open(const std::shared_ptr<CaptureDevice>& opened) override {
        if (!client.loop) return MMSYSERR_NODRIVER;
        auto device = std::static_pointer_cast<ServerDevice>(opened);
        size_t fragment = (size_t)FRAGMENT_FRAMES * device->format.nBlockAlign;
        SetCaptureFifoCapacity(device->feed, std::max(FIFO_MIN_BYTES, fragment * FIFO_FRAGMENTS));
        LoopLock lock;
        if (ServerNotAnswering()) return MMSYSERR_HANDLEBUSY;
        std::string source = device->name;
        if (device->use_default) {
            std::lock_guard<std::mutex> published(client.published_mutex);
            source = MapperSource(client.sources, client.default_source);
        }
        if (source.empty() || !StartStream(*device, source)) return MMSYSERR_BADDEVICEID;
        client.devices.push_back(device);
        return MMSYSERR_NOERROR;
    }

    void Close(const std::shared_ptr<CaptureDevice>& closed) override {
        if (!client.loop) return;
        LoopLock lock;
        auto device = std::static_pointer_cast<ServerDevice>(closed);
        DropStream(*device);
        client.devices.erase(std::remove(client.devices.begin(), client.devices.end(), device), client.devices.end());
    }

    // Nothing here waits for the server: the streams and the connection are dropped, and the
    // loop thread, which only ever waits in poll(), is stopped.
    bool Finish() override {
        if (!client.loop) return true;
        {
            LoopLock lock;
            for (const auto& device : client.devices) DropStream(*device);
            client.devices.clear();
            for (const OrphanStream& orphan : client.orphans) {
                pa_stream_set_state_callback(orphan.stream, nullptr, nullptr);
                pa_stream_unref(orphan.stream);
            }
            client.orphans.clear();
            if (client.retry) {
                client.api->time_free(client.retry);
                client.retry = nullptr;
            }
            if (pa_context* context = client.context) {
                client.context = nullptr;
                pa_context_set_state_callback(context, nullptr, nullptr);
                pa_context_set_subscribe_callback(context, nullptr, nullptr);
                pa_context_disconnect(context);
                pa_context_unref(context);
            }
        }
        pa_threaded_mainloop_stop(client.loop);
        pa_threaded_mainloop_free(client.loop);
        client.loop = nullptr;
        return true;
    }

    uint32_t DriverVersion() override {
        return (uint32_t)(PA_MAJOR << 8 | PA_MINOR);
    }

    std::string Describe() override {
        LoopLock lock;
        std::string text = "sound server";
        if (client.context && pa_context_get_state(client.context) == PA_CONTEXT_READY) {
            const char* server = pa_context_get_server(client.context);
            text += std::string(" ") + (server ? server : "?") + (pa_context_is_local(client.context) == 1 ? "" : " (remote)");
        }
        text += ", fragments of " + std::to_string(FRAGMENT_FRAMES) + " frames asked, " +
                std::to_string(client.fragment_bytes) + " bytes granted";
        return text;
    }
};

ServerCapture recorder;

}  // namespace

CaptureRecorder* SoundServerRecorder() {
    return &recorder;
}

void StartSoundServerClient() {
    if (client.loop || client.attempted) return;
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    if (!loop) {
        // No loop, no client: as if no server answered.
        Publish(false, {}, "");
        return;
    }
    pa_threaded_mainloop_set_name(loop, "korvelt-sound");
    client.loop = loop;
    client.api = pa_threaded_mainloop_get_api(loop);
    // The first connection is on its way before the loop thread runs, so everything the library
    // sets up for it is in place before that thread can look at it.
    Connect();
    if (pa_threaded_mainloop_start(loop) < 0) {
        recorder.Finish();
        Publish(false, {}, "");
    }
}

bool SoundServerAnswered() {
    std::lock_guard<std::mutex> lock(client.published_mutex);
    return client.answered;
}

bool WaitForSoundServer(int wait_ms) {
    StartSoundServerClient();
    std::unique_lock<std::mutex> lock(client.published_mutex);
    return client.first_attempt_ended.wait_for(lock, std::chrono::milliseconds(wait_ms),
                                               [] { return client.attempted; });
}
