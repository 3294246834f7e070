// Capture engine: lists the input devices, opens the chosen one in the fixed 16-bit stereo
// format, keeps eight buffers circulating, copies each delivery and owns the buffers' memory.
#include "capture/capture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/main_window.h"
#include "app/state.h"

namespace {

// Every capture buffer this module has allocated and not yet freed. A run's eight buffers
// stay "in the device" until the device has been closed; after that they are retired and
// freed at the next release, except the one last_data still points into.
struct CaptureBuffer {
    char* data;
    int32_t size;        // bytes allocated
    bool with_device;    // queued to a device that has not handed it back for good
};

struct CaptureMemory {
    std::vector<CaptureBuffer> buffers;   // current run first ... retired ones
    int run_buffer_count = 0;             // headers prepared by the current run
};

CaptureMemory capture_memory;

// The buffer that holds `data`, or null when no live buffer does.
CaptureBuffer* FindLiveBuffer(const char* data) {
    if (!data) return nullptr;
    for (CaptureBuffer& buffer : capture_memory.buffers) {
        if (data >= buffer.data && data < buffer.data + buffer.size) return &buffer;
    }
    return nullptr;
}

constexpr uint32_t HEADER_SIZE = (uint32_t)sizeof(WaveHeader);

// Reset, stop, unprepare and close the open device. The buffers come back with the close;
// if the close fails they are kept as still owned by the device and never freed before exit.
void CloseCaptureDevice() {
    if (!program.wave_in) return;
    WaveInHandle device = program.wave_in;
    WaveInReset(device);
    WaveInStop(device);
    int count = std::min<int>(capture_memory.run_buffer_count, (int)program.wave_headers.size());
    for (int i = 0; i < count; ++i) WaveInUnprepareHeader(device, &program.wave_headers[i], HEADER_SIZE);
    bool closed = WaveInClose(device) == MMSYSERR_NOERROR;
    program.wave_in = nullptr;
    capture_memory.run_buffer_count = 0;
    if (closed) {
        for (CaptureBuffer& buffer : capture_memory.buffers) buffer.with_device = false;
    }
}

}  // namespace

void ListInputDevices(WindowRef list) {
    uint32_t count = WaveInGetNumDevs();
    if (count == 0) return;
    // The mapper (id -1) comes first; wrapping the unsigned id walks -1, 0, 1 ... n - 1.
    for (uint32_t id = WAVE_MAPPER; id == WAVE_MAPPER || id < count; ++id) {
        WaveInCaps caps;
        std::memset(&caps, 0, sizeof caps);
        if (WaveInGetDevCaps((uintptr_t)id, &caps, (uint32_t)sizeof caps) != MMSYSERR_NOERROR) continue;
        char name[sizeof caps.szPname + 1];
        std::memcpy(name, caps.szPname, sizeof caps.szPname);
        name[sizeof caps.szPname] = '\0';   // a driver may fill all 32 characters
        int index = ListAddItem(list, name);
        if (index >= 0) ListSetItemData(list, index, (intptr_t)(int32_t)id);
    }
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

    if (program.device_index < 0) return;   // nothing selected: counts as a failed open
    uint32_t device_id = (uint32_t)ListGetItemData(list, program.device_index);
    WaveInHandle device = nullptr;
    if (WaveInOpen(&device, device_id, &program.capture_format, (uintptr_t)program.main_window_handle, 0,
                   CALLBACK_WINDOW | WAVE_FORMAT_DIRECT) != MMSYSERR_NOERROR) {
        return;
    }
    program.wave_in = device;

    // No device holds a header now, so the table may still be sized safely.
    if ((int)program.wave_headers.size() < WAVE_HEADER_CAPACITY)
        program.wave_headers.resize(WAVE_HEADER_CAPACITY);
    int32_t bytes = std::clamp<int32_t>(program.buffer_bytes, 0, ANALYSIS_BLOCK_BYTES);
    for (int i = 0; i < CAPTURE_BUFFER_COUNT; ++i) {
        WaveHeader& header = program.wave_headers[i];
        // A header of an earlier run still carries its flags and byte count; start clean.
        std::memset(&header, 0, sizeof header);
        char* data = (char*)std::calloc((size_t)std::max(bytes, 1), 1);
        if (data) capture_memory.buffers.insert(capture_memory.buffers.begin(), CaptureBuffer{data, bytes, true});
        header.lpData = data;
        header.dwBufferLength = data ? (uint32_t)bytes : 0;
        WaveInPrepareHeader(device, &header, HEADER_SIZE);
        WaveInAddBuffer(device, &header, HEADER_SIZE);
    }
    capture_memory.run_buffer_count = CAPTURE_BUFFER_COUNT;

    if (WaveInStart(device) == MMSYSERR_NOERROR)
        StartWindowTimer(program.main_window_handle, TICK_TIMER_ID, (uint32_t)program.tick_ms);
}

void StopCapture() {
    if (program.wave_in) {
        CloseCaptureDevice();
        // The device has handed every buffer back; drop those no delivery can point to.
        ReleaseCaptureBuffers(false);
    }
    StopWindowTimer(program.main_window_handle, TICK_TIMER_ID);
}

intptr_t HandleFilledBuffer(WaveInHandle device, WaveHeader* header) {
    if (!header) return 0;
    // Deliveries the device hands back after a restart name headers that may by now hold
    // another run's buffer, or a buffer already freed; only a live buffer is read.
    CaptureBuffer* buffer = FindLiveBuffer(header->lpData);
    if (buffer) {
        int32_t room = (int32_t)(buffer->data + buffer->size - header->lpData);
        int32_t bytes = (int32_t)std::min<uint32_t>(header->dwBytesRecorded, (uint32_t)room);
        program.last_data = header->lpData;
        program.last_bytes_recorded = bytes;
        if (program.analysis_block && bytes > 0)
            std::memcpy(program.analysis_block, program.last_data, (size_t)bytes);
    }
    WaveInAddBuffer(device, header, HEADER_SIZE);
    return 0;
}

void ReleaseCaptureBuffers(bool all) {
    if (all) {
        CloseCaptureDevice();
        for (CaptureBuffer& buffer : capture_memory.buffers) std::free(buffer.data);
        capture_memory.buffers.clear();
        for (WaveHeader& header : program.wave_headers) header.lpData = nullptr;
        program.last_data = nullptr;
        return;
    }
    std::vector<CaptureBuffer>& buffers = capture_memory.buffers;
    const char* kept = program.last_data;
    buffers.erase(std::remove_if(buffers.begin(), buffers.end(),
                                 [kept](const CaptureBuffer& buffer) {
                                     if (buffer.with_device) return false;
                                     if (kept >= buffer.data && kept < buffer.data + buffer.size) return false;
                                     std::free(buffer.data);
                                     return true;
                                 }),
                  buffers.end());
    // Headers of a closed run must not keep naming freed memory.
    if (!program.wave_in) {
        for (WaveHeader& header : program.wave_headers)
            if (header.lpData && !FindLiveBuffer(header.lpData)) header.lpData = nullptr;
    }
}

// Number of capture buffers currently allocated; lets tests see that restarts stay bounded.
int LiveCaptureBufferCount() { return (int)capture_memory.buffers.size(); }
