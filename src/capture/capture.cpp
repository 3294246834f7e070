// Capture engine: lists the input devices, opens the chosen one in the fixed 16-bit stereo
// format, keeps eight buffers circulating, copies each delivery, owns the buffers' memory,
// and turns a stalled or lost input into silence and silent reopens.
#include "capture/capture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/state.h"

namespace {

constexpr uint32_t HEADER_SIZE = (uint32_t)sizeof(WaveHeader);
constexpr uint32_t NO_DEVICE = 0xFFFFFFFEu;   // an entry whose device is gone
constexpr int RUN_SLOTS = 2;                  // a run uses header entries 0 .. 7, or 8 .. 15

// Every capture buffer this module has allocated and not yet freed.
struct CaptureBuffer {
    char* data;
    int32_t size;          // bytes allocated
    WaveInHandle owner;    // device that may still hold it; null once it has given it back
};

// The program's own books on a header entry; the header's flags belong to the driver while
// it holds the header, so they are never consulted.
struct HeaderBook {
    bool queued;              // handed to the driver by the current run and not back yet
    WaveInHandle queued_on;   // the device it was handed to
    WaveInHandle stale_from;  // a closed device that still owes a reset message for it
    uint32_t stale_count;     // how many such messages are still to come
};

struct CaptureMemory {
    std::vector<CaptureBuffer> buffers;   // current run first ... older ones
    int run_base = 0;                     // first header entry of the current run
    int run_buffer_count = 0;             // headers prepared by the current run
    // Per slot: a device whose close failed. It may still hold that slot's headers and
    // buffers, so neither is touched again until a later close succeeds.
    WaveInHandle abandoned[RUN_SLOTS] = {};
    HeaderBook books[WAVE_HEADER_CAPACITY] = {};
    uint64_t accepted = 0;
};

CaptureMemory capture_memory;

// Buffers a lost driver still held when the program ended, and the header tables it held
// them with: never freed, as the driver may write into them until the process is gone (nor
// are these lists, which must outlive the static destructors at exit).
std::vector<CaptureBuffer>* const left_to_driver = new std::vector<CaptureBuffer>;
std::vector<std::vector<WaveHeader>>* const headers_left_to_driver = new std::vector<std::vector<WaveHeader>>;

// The buffer that holds `data`, or null when no live buffer does. Addresses are compared
// as integers: `data` may point anywhere.
CaptureBuffer* FindLiveBuffer(const char* data) {
    if (!data) return nullptr;
    const uintptr_t at = (uintptr_t)data;
    for (CaptureBuffer& buffer : capture_memory.buffers) {
        const uintptr_t start = (uintptr_t)buffer.data;
        if (at >= start && at - start < (uintptr_t)buffer.size) return &buffer;
    }
    return nullptr;
}

// Index of `header` in the header table, or -1 when it is not exactly one of its entries.
// Only the address is looked at, so a junk pointer from outside is never dereferenced.
int HeaderIndex(const WaveHeader* header) {
    if (program.wave_headers.empty()) return -1;
    const uintptr_t at = (uintptr_t)header;
    const uintptr_t first = (uintptr_t)program.wave_headers.data();
    if (at < first) return -1;
    const uintptr_t offset = at - first;
    if (offset % sizeof(WaveHeader) != 0) return -1;
    const uintptr_t index = offset / sizeof(WaveHeader);
    return index < program.wave_headers.size() && index < (uintptr_t)WAVE_HEADER_CAPACITY ? (int)index : -1;
}

void SetTickTimer(bool on) {
    if (on) StartWindowTimer(program.main_window_handle, TICK_TIMER_ID, (uint32_t)program.tick_ms);
    else StopWindowTimer(program.main_window_handle, TICK_TIMER_ID);
    program.tick_timer_running = on ? 1 : 0;
}

// After a reset (`reset`: it succeeded) and a close (`closed`) of `device`, the books on
// header entries first .. first + count - 1: a header the reset handed back has a message on
// its way, one a successful close let go has none, and one neither touched may still be in
// a lost driver's hands and stays counted as queued.
void SettleHeaderBooks(WaveInHandle device, int first, int count, bool reset, bool closed) {
    for (int i = first; i < first + count && i < WAVE_HEADER_CAPACITY; ++i) {
        HeaderBook& book = capture_memory.books[i];
        if (!book.queued) continue;
        if (reset) {
            if (book.stale_from != device) book.stale_count = 0;
            book.stale_from = device;
            ++book.stale_count;
            book.queued = false;
        } else if (closed) {
            book.queued = false;
        }
    }
}

// Buffers `device` held are back in the program's hands.
void DeviceGaveBuffersBack(WaveInHandle device) {
    for (CaptureBuffer& buffer : capture_memory.buffers)
        if (buffer.owner == device) buffer.owner = nullptr;
}

// Reset, stop, unprepare and close the open device. A reset hands every queued header back
// with one message each; those are counted so that they are known when they come. If the
// close fails the device may still hold the run's buffers and headers: they are left alone.
void CloseCaptureDevice() {
    if (!program.wave_in) return;
    WaveInHandle device = program.wave_in;
    const bool reset = WaveInReset(device) == MMSYSERR_NOERROR;
    WaveInStop(device);
    const int base = capture_memory.run_base;
    const int count = std::min<int>(capture_memory.run_buffer_count, (int)program.wave_headers.size() - base);
    for (int i = 0; i < count; ++i) WaveInUnprepareHeader(device, &program.wave_headers[base + i], HEADER_SIZE);
    const bool closed = WaveInClose(device) == MMSYSERR_NOERROR;
    SettleHeaderBooks(device, base, count, reset, closed);
    program.wave_in = nullptr;
    capture_memory.run_buffer_count = 0;
    if (closed) DeviceGaveBuffersBack(device);
    else capture_memory.abandoned[base / CAPTURE_BUFFER_COUNT] = device;
}

// Tries once more to close devices whose close failed earlier; a success frees their slot.
void RetryAbandonedCloses() {
    bool released = false;
    for (int slot = 0; slot < RUN_SLOTS; ++slot) {
        WaveInHandle device = capture_memory.abandoned[slot];
        if (!device) continue;
        const bool reset = WaveInReset(device) == MMSYSERR_NOERROR;
        for (int i = 0; i < CAPTURE_BUFFER_COUNT; ++i) {
            const size_t entry = (size_t)(slot * CAPTURE_BUFFER_COUNT + i);
            if (entry < program.wave_headers.size())
                WaveInUnprepareHeader(device, &program.wave_headers[entry], HEADER_SIZE);
        }
        const bool closed = WaveInClose(device) == MMSYSERR_NOERROR;
        SettleHeaderBooks(device, slot * CAPTURE_BUFFER_COUNT, CAPTURE_BUFFER_COUNT, reset, closed);
        if (!closed) continue;
        capture_memory.abandoned[slot] = nullptr;
        DeviceGaveBuffersBack(device);
        released = true;
    }
    if (released) ReleaseCaptureBuffers(false);
}

// Name of device `id` as the list shows it; false when its description cannot be read.
bool ReadDeviceName(uint32_t id, std::string* name) {
    WaveInCaps caps;
    std::memset(&caps, 0, sizeof caps);
    if (WaveInGetDevCaps((uintptr_t)id, &caps, (uint32_t)sizeof caps) != MMSYSERR_NOERROR) return false;
    char text[sizeof caps.szPname + 1];
    std::memcpy(text, caps.szPname, sizeof caps.szPname);
    text[sizeof caps.szPname] = '\0';   // a driver may fill all 32 characters
    *name = text;
    return true;
}

struct DeviceEntry {
    std::string name;
    intptr_t id;   // device id when listed; -1 the mapper
    bool operator==(const DeviceEntry& other) const { return name == other.name && id == other.id; }
};

// The device set as it is now: the mapper (id -1) first, then every readable device.
std::vector<DeviceEntry> ReadDeviceEntries() {
    std::vector<DeviceEntry> entries;
    const uint32_t count = WaveInGetNumDevs();
    if (count == 0) return entries;
    // Wrapping the unsigned id walks -1, 0, 1 ... n - 1.
    for (uint32_t id = WAVE_MAPPER; id == WAVE_MAPPER || id < count; ++id) {
        std::string name;
        if (ReadDeviceName(id, &name)) entries.push_back(DeviceEntry{name, (intptr_t)(int32_t)id});
    }
    return entries;
}

std::vector<DeviceEntry> ListedEntries(WindowRef list) {
    std::vector<DeviceEntry> entries;
    const int count = ListItemCount(list);
    for (int i = 0; i < count; ++i) {
        char text[64] = "";
        ListGetItemText(list, i, text, (int)sizeof text);
        entries.push_back(DeviceEntry{text, ListGetItemData(list, i)});
    }
    return entries;
}

// How many devices (not the mapper) of entry `index`'s name come before it: identical
// devices, two microphones of one make, are told apart by their order.
int TwinIndex(const std::vector<DeviceEntry>& entries, int index) {
    int twin = 0;
    for (int i = 0; i < index && i < (int)entries.size(); ++i)
        twin += (int32_t)entries[i].id != -1 && entries[i].name == entries[index].name ? 1 : 0;
    return twin;
}

// The device entry for `name`: the one with the same id if there is one, else the twin-th of
// that name (the last one when fewer are left); -1 when no device has that name.
int FindDeviceEntry(const std::vector<DeviceEntry>& entries, const std::string& name, intptr_t id, int twin) {
    int seen = 0, found = -1;
    for (int i = 0; i < (int)entries.size(); ++i) {
        if ((int32_t)entries[i].id == -1 || entries[i].name != name) continue;
        if (entries[i].id == id) return i;
        if (seen++ <= twin) found = i;
    }
    return found;
}

void FillList(WindowRef list, const std::vector<DeviceEntry>& entries) {
    for (const DeviceEntry& entry : entries) {
        const int index = ListAddItem(list, entry.name.c_str());
        if (index >= 0) ListSetItemData(list, index, entry.id);
    }
}

// An entry names its device; the id it was listed with is only where to look first, as ids
// shift when devices come and go. NO_DEVICE when no device of that name is there now.
uint32_t ResolveEntryDevice(WindowRef list, int index) {
    const intptr_t listed = ListGetItemData(list, index);
    if ((int32_t)listed == -1) return WAVE_MAPPER;
    char text[64] = "";
    if (!ListGetItemText(list, index, text, (int)sizeof text)) return NO_DEVICE;
    std::string name;
    if (listed >= 0 && ReadDeviceName((uint32_t)listed, &name) && name == text) return (uint32_t)listed;
    // Moved: the device of that name now, the same one of several identical ones.
    const std::vector<DeviceEntry> now = ReadDeviceEntries();
    const int found = FindDeviceEntry(now, text, -2, TwinIndex(ListedEntries(list), index));
    return found < 0 ? NO_DEVICE : (uint32_t)now[found].id;
}

// The input has been quiet for INPUT_STALL_US: the analysis block becomes what a silent
// device would have left in it, so the tick draws silence in its usual way.
void ShowInputAsSilence() {
    const int32_t bytes = std::clamp<int32_t>(program.buffer_bytes, 0, ANALYSIS_BLOCK_BYTES);
    if (program.analysis_block) std::memset(program.analysis_block, 0, (size_t)bytes);
    program.last_bytes_recorded = bytes;
}

}  // namespace

void ListInputDevices(WindowRef list) { FillList(list, ReadDeviceEntries()); }

void NoteChosenDevice() {
    WindowRef list = FindSelector(ID_DEVICE_COMBO);
    char text[64] = "";
    const int selected = list ? ListSelection(list) : -1;
    if (selected < 0 || !ListGetItemText(list, selected, text, (int)sizeof text)) return;
    // The mapper is a choice of no device in particular.
    const std::vector<DeviceEntry> entries = ListedEntries(list);
    const bool mapper = (int32_t)entries[selected].id == -1;
    program.chosen_device_name = mapper ? "" : text;
    program.chosen_device_twin = mapper ? 0 : TwinIndex(entries, selected);
}

void RebuildDeviceList() {
    WindowRef list = FindSelector(ID_DEVICE_COMBO);
    if (!list) return;
    const std::vector<DeviceEntry> listed = ListedEntries(list);
    const std::vector<DeviceEntry> fresh = ReadDeviceEntries();
    const int selected = ListSelection(list);
    const bool had_selection = selected >= 0 && selected < (int)listed.size();

    bool selection_moved = false;
    if (fresh != listed) {
        int keep = -1;
        // The device the user chose, when it is (back) in the list; else the one selected.
        const DeviceEntry* was = had_selection ? &listed[selected] : nullptr;
        const bool was_chosen = was && (int32_t)was->id != -1 && was->name == program.chosen_device_name;
        if (!program.chosen_device_name.empty())
            keep = FindDeviceEntry(fresh, program.chosen_device_name, was_chosen ? was->id : -2,
                                   program.chosen_device_twin);
        if (keep < 0 && was) {
            if ((int32_t)was->id == -1) keep = fresh.empty() ? -1 : 0;   // the mapper stays the mapper
            else keep = FindDeviceEntry(fresh, was->name, was->id, TwinIndex(listed, selected));
        }
        if (was) selection_moved = keep < 0 || !(fresh[keep] == *was);
        if (keep < 0 && !fresh.empty()) keep = 0;
        ListClear(list);
        FillList(list, fresh);
        ListSelect(list, keep);
        if (!had_selection && keep >= 0) selection_moved = true;
        program.device_index = ListSelection(list);
    }

    const int now_selected = ListSelection(list);
    if (now_selected < 0) {
        // Nothing left to record from. Once sound has been shown, the tick keeps running so
        // that the display falls to silence like any other lost input, and a device that
        // arrives later is opened by the next rebuild.
        if (program.wave_in || program.tick_timer_running) StopCapture();
        if (program.last_data) {
            if (!program.input_lost) {
                program.input_lost = 1;
                program.next_reopen_us = MonotonicMicros() + REOPEN_INTERVAL_US;
            }
            SetTickTimer(true);
        }
        return;
    }
    const bool mapper = (int32_t)ListGetItemData(list, now_selected) == -1;
    const bool delivering = program.wave_in && !program.input_lost;
    // The mapper follows the system's default input, which may have moved with the change.
    if (selection_moved || (mapper && fresh != listed) || !delivering) RequestCaptureRestart();
}

void StartCapture() {
    StopCapture();

    WindowRef list = FindSelector(ID_DEVICE_COMBO);
    program.device_index = list ? ListSelection(list) : -1;

    program.capture_format.nChannels = CAPTURE_CHANNELS;
    LayoutScopes();
    program.capture_format.wBitsPerSample = CAPTURE_BITS;
    program.capture_format.nSamplesPerSec = CAPTURE_RATE;
    program.capture_format.nBlockAlign =
        (uint16_t)(program.capture_format.nChannels * program.capture_format.wBitsPerSample / 8);
    program.capture_format.nAvgBytesPerSec =
        program.capture_format.nSamplesPerSec * program.capture_format.nBlockAlign;
    program.capture_format.cbSize = 0;
    program.capture_opened_us = MonotonicMicros();

    // While the input is lost the tick keeps running whatever this attempt gives: it shows
    // the silence and makes the next attempt.
    struct KeepTickWhileLost {
        ~KeepTickWhileLost() {
            if (program.input_lost && !program.tick_timer_running && program.last_data) SetTickTimer(true);
        }
    } keep_tick;

    if (program.device_index < 0) return;   // nothing selected: counts as a failed open
    if ((int)program.wave_headers.size() < WAVE_HEADER_CAPACITY) program.wave_headers.resize(WAVE_HEADER_CAPACITY);
    RetryAbandonedCloses();
    int slot = 0;
    while (slot < RUN_SLOTS && capture_memory.abandoned[slot]) ++slot;
    if (slot == RUN_SLOTS) return;   // every header slot may still be in a lost device's hands

    const uint32_t device_id = ResolveEntryDevice(list, program.device_index);
    if (device_id == NO_DEVICE) return;
    WaveInHandle device = nullptr;
    const uint32_t opened = WaveInOpen(&device, device_id, &program.capture_format,
                                       (uintptr_t)program.main_window_handle, 0, CALLBACK_WINDOW | WAVE_FORMAT_DIRECT);
    // An open the backend stopped waiting for (the sound server is slow to answer) is no
    // verdict on the device: the tick runs and tries again about a second later, even before
    // any sound has been shown. Any other failure leaves things as they are.
    program.open_busy = opened == MMSYSERR_HANDLEBUSY;
    if (program.open_busy) {
        program.next_reopen_us = MonotonicMicros() + REOPEN_INTERVAL_US;
        SetTickTimer(true);
    }
    if (opened != MMSYSERR_NOERROR) return;
    program.wave_in = device;
    capture_memory.run_base = slot * CAPTURE_BUFFER_COUNT;

    const int32_t bytes = std::clamp<int32_t>(program.buffer_bytes, 0, ANALYSIS_BLOCK_BYTES);
    for (int i = 0; i < CAPTURE_BUFFER_COUNT; ++i) {
        WaveHeader& header = program.wave_headers[capture_memory.run_base + i];
        // A header of an earlier run still carries its flags and byte count; start clean.
        std::memset(&header, 0, sizeof header);
        char* data = (char*)std::calloc((size_t)std::max(bytes, 1), 1);
        if (data) capture_memory.buffers.insert(capture_memory.buffers.begin(), CaptureBuffer{data, bytes, device});
        header.lpData = data;
        header.dwBufferLength = data ? (uint32_t)bytes : 0;
        WaveInPrepareHeader(device, &header, HEADER_SIZE);
        HeaderBook& book = capture_memory.books[capture_memory.run_base + i];
        book.queued = WaveInAddBuffer(device, &header, HEADER_SIZE) == MMSYSERR_NOERROR;
        book.queued_on = device;
    }
    capture_memory.run_buffer_count = CAPTURE_BUFFER_COUNT;

    // A start the backend gave up waiting for may still go through: the tick then runs, and
    // if no sound comes it reopens the device like any stalled input.
    const uint32_t started = WaveInStart(device);
    if (started == MMSYSERR_NOERROR || started == MMSYSERR_HANDLEBUSY) SetTickTimer(true);
}

void RequestCaptureRestart() {
    if (program.restart_pending) return;
    program.restart_pending = 1;
    // Should the post fail, the restart is made at once rather than lost.
    if (!PostWindowMessage(program.main_window_handle, CAPTURE_RESTART_MSG, 0, 0)) RunRequestedRestart();
}

void RunRequestedRestart() {
    if (!program.restart_pending) return;   // a stray message: no one asked
    program.restart_pending = 0;
    StartCapture();
}

void StopCapture() {
    if (program.wave_in) {
        CloseCaptureDevice();
        // Drop the buffers no device holds and no delivery can point to any more.
        ReleaseCaptureBuffers(false);
    }
    SetTickTimer(false);
}

intptr_t HandleFilledBuffer(WaveInHandle device, WaveHeader* header) {
    const int index = HeaderIndex(header);
    if (index < 0) return 0;   // not one of ours: nothing about it is read
    HeaderBook& book = capture_memory.books[index];
    // A closed run's reset message: by now the header may be queued on the new device.
    if (book.stale_count > 0 && device == book.stale_from) {
        --book.stale_count;
        return 0;
    }
    const int base = capture_memory.run_base;
    if (!device || device != program.wave_in || index < base || index >= base + capture_memory.run_buffer_count ||
        !book.queued) {
        // A device given up on (its reset or close ran out of time) handing a header back
        // after all: it no longer holds it, so a later reset of that device owes no message
        // for it (one counted here would swallow a delivery of a device that gets the same
        // handle value).
        if (book.queued && device && device == book.queued_on && device != program.wave_in) book.queued = false;
        return 0;
    }
    // From here the driver has handed the header back: it is the program's to read.
    book.queued = false;
    CaptureBuffer* buffer = FindLiveBuffer(header->lpData);
    if (buffer) {
        const int32_t room = (int32_t)(buffer->data + buffer->size - header->lpData);
        const int32_t bytes = (int32_t)std::min<uint32_t>(header->dwBytesRecorded, (uint32_t)room);
        program.last_data = header->lpData;
        program.last_bytes_recorded = bytes;
        if (program.analysis_block && bytes > 0)
            std::memcpy(program.analysis_block, program.last_data, (size_t)bytes);
        ++capture_memory.accepted;
        if (bytes > 0) {
            // Sound again: the input is live.
            program.last_delivery_us = MonotonicMicros();
            program.input_lost = 0;
        }
    }
    // Refused as still queued: the message was a duplicate and the driver has it after all.
    const uint32_t requeued = WaveInAddBuffer(device, header, HEADER_SIZE);
    book.queued = requeued == MMSYSERR_NOERROR || requeued == WAVERR_STILLPLAYING;
    book.queued_on = device;
    return 0;
}

void CheckCaptureInput() {
    // Before the first block the tick keeps waiting as it always has, unless an open is owed.
    if (!program.last_data) {
        if (program.open_busy && !program.wave_in && MonotonicMicros() >= program.next_reopen_us) StartCapture();
        return;
    }
    const uint64_t now = MonotonicMicros();
    const uint64_t quiet_since = program.last_delivery_us;
    if (now < quiet_since + INPUT_STALL_US) return;
    if (!program.input_lost) {
        program.input_lost = 1;
        program.next_reopen_us = quiet_since + REOPEN_INTERVAL_US;
    }
    // Every tick while lost, so that no late delivery of a stopped run shows as sound.
    ShowInputAsSilence();
    if (now < program.next_reopen_us) return;
    // A run opened after the last block may still be waiting for its first one.
    if (program.wave_in && program.capture_opened_us > quiet_since &&
        now < program.capture_opened_us + FIRST_BLOCK_GRACE_US) {
        return;
    }
    program.next_reopen_us = now + REOPEN_INTERVAL_US;
    StartCapture();
}

void ReleaseCaptureBuffers(bool all) {
    if (all) {
        CloseCaptureDevice();
        RetryAbandonedCloses();
        bool held = false;
        for (CaptureBuffer& buffer : capture_memory.buffers) {
            if (buffer.owner) {
                left_to_driver->push_back(buffer);
                held = true;
            } else {
                std::free(buffer.data);
            }
        }
        capture_memory = CaptureMemory{};
        if (held) headers_left_to_driver->push_back(std::move(program.wave_headers));
        program.wave_headers.clear();
        program.last_data = nullptr;
        return;
    }
    std::vector<CaptureBuffer>& buffers = capture_memory.buffers;
    const char* kept = program.last_data;
    buffers.erase(std::remove_if(buffers.begin(), buffers.end(),
                                 [kept](const CaptureBuffer& buffer) {
                                     if (buffer.owner) return false;
                                     const uintptr_t start = (uintptr_t)buffer.data;
                                     if ((uintptr_t)kept >= start && (uintptr_t)kept - start < (uintptr_t)buffer.size)
                                         return false;
                                     std::free(buffer.data);
                                     return true;
                                 }),
                  buffers.end());
    // Headers no run uses must not keep naming freed memory.
    for (size_t i = 0; i < program.wave_headers.size(); ++i) {
        const int slot = (int)i / CAPTURE_BUFFER_COUNT;
        if (slot < RUN_SLOTS && capture_memory.abandoned[slot]) continue;
        WaveHeader& header = program.wave_headers[i];
        if (header.lpData && !FindLiveBuffer(header.lpData)) header.lpData = nullptr;
    }
}

// Number of capture buffers currently allocated; lets tests see that restarts stay bounded.
int LiveCaptureBufferCount() { return (int)capture_memory.buffers.size(); }

uint64_t AcceptedDeliveryCount() { return capture_memory.accepted; }

int AbandonedRunCount() {
    int count = 0;
    for (WaveInHandle device : capture_memory.abandoned) count += device ? 1 : 0;
    return count;
}

bool CaptureHeaderQueued(int index) {
    return index >= 0 && index < WAVE_HEADER_CAPACITY && capture_memory.books[index].queued;
}
