// Headless presenter: the virtual clock that waiting jumps forward, scripted actions, the
// presenter hooks of backend.h (recorded, nothing shown), pixel reads, PNG snapshots and
// creation faults.
#include <png.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/portable/backend.h"
#include "platform/portable/core.h"
#include "platform/portable/headless/headless.h"
#include "platform/portable/headless/headless_internal.h"

namespace {

constexpr size_t PRESENT_LOG_LIMIT = 1 << 20;

struct TopLevelRecord {
    bool alive = false;
    bool shown = false;
};

std::atomic<uint64_t> g_now{0};
std::atomic<bool> g_woken{false};
std::multimap<uint64_t, std::function<void()>> g_actions;  // equal times keep their order
std::vector<HeadlessPresent> g_presented;
std::map<WindowRef, TopLevelRecord> g_tops;
bool g_present_logging = true;

uint64_t MsToMicros(double ms) { return ms <= 0 ? 0 : (uint64_t)std::llround(ms * 1000.0); }

uint64_t NextActionDue() { return g_actions.empty() ? UINT64_MAX : g_actions.begin()->first; }

}  // namespace

// ---------------------------------------------------------------------------------------
// backend.h: the presenter half
// ---------------------------------------------------------------------------------------

uint64_t BackendNowMicros() { return g_now.load(); }

void BackendWait(uint64_t deadline_us) {
    if (g_woken.exchange(false)) return;
    uint64_t next = std::min(deadline_us, std::min(NextActionDue(), HeadlessNextDeliveryDue()));
    if (next == UINT64_MAX) {
        // Nothing is scheduled and nothing can be posted: a real program would hang here.
        std::fprintf(stderr, "headless: the program waits for an event that can never come\n");
        std::fflush(stderr);
        std::abort();
    }
    if (next > g_now.load()) g_now.store(next);
}

void BackendWake() { g_woken.store(true); }

void BackendPollInput() {
    for (;;) {
        uint64_t now = g_now.load();
        uint64_t action_due = NextActionDue();
        uint64_t delivery_due = HeadlessNextDeliveryDue();
        if (action_due > now && delivery_due > now) return;
        if (action_due <= delivery_due) {
            auto first = g_actions.begin();
            std::function<void()> action = std::move(first->second);
            g_actions.erase(first);
            if (action) action();
        } else {
            HeadlessRunOneDueDelivery(now);
        }
    }
}

void BackendTopLevelCreated(WindowRef top, const char*, int, int) { g_tops[top] = TopLevelRecord{true, false}; }

void BackendTopLevelDestroyed(WindowRef top) { g_tops[top] = TopLevelRecord{false, false}; }

void BackendTopLevelShown(WindowRef top, bool shown) { g_tops[top].shown = shown; }

void BackendPresent(WindowRef top, const RectI& dirty, bool) {
    if (g_present_logging && g_presented.size() < PRESENT_LOG_LIMIT) g_presented.push_back(HeadlessPresent{top, dirty});
}

int BackendDpi() { return 96; }

// ---------------------------------------------------------------------------------------
// headless.h
// ---------------------------------------------------------------------------------------

void HeadlessReset() {
    CoreReset();
    HeadlessResetWaveIn();
    g_actions.clear();
    g_presented.clear();
    g_present_logging = true;
    g_tops.clear();
    g_woken.store(false);
    g_now.store(0);
}

double HeadlessNowMs() { return g_now.load() / 1000.0; }
uint64_t HeadlessNowMicros() { return g_now.load(); }

void HeadlessAt(double ms, std::function<void()> action) { g_actions.emplace(MsToMicros(ms), std::move(action)); }

void HeadlessKeyAt(double ms, int virtual_key) {
    HeadlessAt(ms, [virtual_key] {
        InjectKey(virtual_key, true);
        InjectKey(virtual_key, false);
    });
}

void HeadlessKeyDownAt(double ms, int virtual_key) {
    HeadlessAt(ms, [virtual_key] { InjectKey(virtual_key, true); });
}

void HeadlessKeyUpAt(double ms, int virtual_key) {
    HeadlessAt(ms, [virtual_key] { InjectKey(virtual_key, false); });
}

void HeadlessClickAt(double ms, WindowRef top, int x, int y) {
    HeadlessAt(ms, [top, x, y] {
        WindowRef target = top ? top : FirstTopLevel();
        InjectMouseButton(target, x, y, true);
        InjectMouseButton(target, x, y, false);
    });
}

namespace {
// The list's field in its top level's client coordinates.
bool ListFieldRect(WindowRef list, WindowRef* top, RectI* field) {
    WindowRef t = list;
    while (GetParentWindow(t)) t = GetParentWindow(t);
    RectI outer, frame;
    if (!t || t == list || !GetWindowFrame(list, &frame) || !GetWindowFrame(t, &outer)) return false;
    *top = t;
    *field = RectI{frame.left - outer.left, frame.top - outer.top, frame.right - outer.left, frame.bottom - outer.top};
    return true;
}

void ClickListField(WindowRef list) {
    WindowRef top;
    RectI field;
    if (!ListFieldRect(list, &top, &field)) return;
    int x = (field.left + field.right) / 2, y = (field.top + field.bottom) / 2;
    InjectMouseButton(top, x, y, true);
    InjectMouseButton(top, x, y, false);
}
}  // namespace

void HeadlessClickListAt(double ms, WindowRef list) {
    HeadlessAt(ms, [list] { ClickListField(list); });
}

void HeadlessChooseListItemAt(double ms, WindowRef list, int index) {
    HeadlessAt(ms, [list, index] {
        ClickListField(list);
        WindowRef top;
        RectI field;
        if (!ListFieldRect(list, &top, &field)) return;
        // Items of the open list are 15 pixels tall below a 1-pixel border under the field.
        int x = (field.left + field.right) / 2, y = field.bottom + 1 + index * 15 + 7;
        InjectMouseButton(top, x, y, true);
        InjectMouseButton(top, x, y, false);
    });
}

void HeadlessCloseAt(double ms, WindowRef top) {
    HeadlessAt(ms, [top] { InjectCloseRequest(top ? top : FirstTopLevel()); });
}

void HeadlessRunUntil(double ms) {
    uint64_t target = MsToMicros(ms);
    for (;;) {
        while (PumpOneMessage()) {
        }
        if (g_now.load() >= target) return;
        BackendWait(std::min(target, CoreNextTimerDue()));
    }
}

Colour HeadlessPixel(WindowRef top, int x, int y) {
    SurfaceView view = TopLevelSurface(top);
    if (!view.pixels || x < 0 || y < 0 || x >= view.width || y >= view.height) return 0xFFFFFFFFu;
    return ToColour(view.pixels[(size_t)y * view.stride + x]);
}

bool HeadlessSnapshotPng(WindowRef top, const std::string& path) {
    SurfaceView view = TopLevelSurface(top);
    if (!view.pixels || view.width <= 0 || view.height <= 0) return false;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    std::vector<png_byte> row((size_t)view.width * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, view.width, view.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < view.height; ++y) {
        const uint32_t* src = view.pixels + (size_t)y * view.stride;
        for (int x = 0; x < view.width; ++x) {
            row[x * 3 + 0] = (png_byte)PixelRed(src[x]);
            row[x * 3 + 1] = (png_byte)PixelGreen(src[x]);
            row[x * 3 + 2] = (png_byte)PixelBlue(src[x]);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

const std::vector<HeadlessPresent>& HeadlessPresented() { return g_presented; }
void HeadlessClearPresented() { g_presented.clear(); }
void HeadlessSetPresentLogging(bool on) { g_present_logging = on; }
size_t HeadlessPostedMessageCount() { return CorePostedCount(); }

bool HeadlessTopLevelAlive(WindowRef top) {
    auto it = g_tops.find(top);
    return it != g_tops.end() && it->second.alive;
}

bool HeadlessTopLevelShown(WindowRef top) {
    auto it = g_tops.find(top);
    return it != g_tops.end() && it->second.alive && it->second.shown;
}

void HeadlessFailCreation(HeadlessCreation kind, int successes_first) {
    static const int KINDS[] = {CORE_CREATE_MAIN_WINDOW, CORE_CREATE_TOOLBAR, CORE_CREATE_FONT,
                                CORE_CREATE_IMAGE,       CORE_CREATE_CANVAS,  CORE_CREATE_LIST,
                                CORE_CREATE_FRAME,       CORE_CREATE_IMAGE_CONTROL};
    CoreFailCreation(KINDS[(int)kind], successes_first < 0 ? 0 : successes_first);
}

void HeadlessClearCreationFaults() {
    for (int kind = 0; kind < CORE_CREATE_KIND_COUNT; ++kind) CoreFailCreation(kind, -1);
}
