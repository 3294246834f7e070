// The program on a high-DPI desktop: DisplayScale and the start-up decision (the monitor's dpi,
// per-monitor DPI awareness asked for at run time), the sums between the program's pixels
// and the screen's, the window procedure that shows the program its own coordinates, the move
// to a monitor of another scale, sunken edges drawn N times as thick, the fonts of controls
// and of the program's own drawing, and the copy that enlarges the program's pixels to N x N
// blocks on their way to the screen.
//
// The program always draws its 1 x picture (the raster into 32-bit DIB sections, text at 96
// pixels to the inch). At a scale N the backend makes every window and control N times the
// size, tells the program sizes and positions divided by N, and enlarges each changed area
// of the picture N times when it copies it to the screen. At scale 1 none of this is in the way.
#include <algorithm>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/win32/backend.h"
#include "platform/win32/display_scale.h"

namespace {

constexpr int BASE_DPI = 96;
constexpr int MAX_SCALE = 8;
// The scratch section the enlargement writes into holds about this many pixels (16 MiB).
constexpr int SCRATCH_PIXELS = 4 << 20;
// The drop-down list's open height, in program pixels (controls.cpp makes it so at scale 1).
constexpr int OPEN_LIST_HEIGHT = 350;

#ifndef WM_GETDPISCALEDSIZE
#define WM_GETDPISCALEDSIZE 0x02E4
#endif
#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

// Awareness contexts and calls that older systems lack: looked up at run time, so the program
// still starts on Windows 7 and on Wine builds without them.
const HANDLE CONTEXT_PER_MONITOR_AWARE = reinterpret_cast<HANDLE>(-3);
const HANDLE CONTEXT_PER_MONITOR_AWARE_V2 = reinterpret_cast<HANDLE>(-4);
constexpr int PROCESS_PER_MONITOR_AWARE = 2;
constexpr int MONITOR_EFFECTIVE_DPI = 0;
using SetProcessContextCall = BOOL(WINAPI*)(HANDLE);
using SetThreadContextCall = HANDLE(WINAPI*)(HANDLE);
using SetProcessAwarenessCall = HRESULT(WINAPI*)(int);
using SetProcessAwareCall = BOOL(WINAPI*)();
using IsProcessAwareCall = BOOL(WINAPI*)();
using MonitorDpiCall = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
using WindowDpiCall = UINT(WINAPI*)(HWND);
using AdjustForDpiCall = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);

template <typename Call>
Call Lookup(const char* module, const char* name) {
    HMODULE handle = GetModuleHandleA(module);
    if (!handle) handle = LoadLibraryA(module);
    return handle ? reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(handle, name))) : nullptr;
}

// Window properties of the backend.
const char PROCEDURE_PROPERTY[] = "korvelt.procedure";   // the program's procedure behind the thunk
const char PLACE_XY_PROPERTY[] = "korvelt.place.xy";      // a child's place in program pixels
const char PLACE_WH_PROPERTY[] = "korvelt.place.wh";
const char EDGE_PROPERTY[] = "korvelt.edge";              // the sunken edge is ours to draw
const char BUTTON_PROPERTY[] = "korvelt.button";          // a toolbar's button size at scale 1
const char BAR_PROPERTY[] = "korvelt.bar";                // and its height there

// A message whose lParam the thunk changed, while the program's procedure has it: when the
// program hands it on to the system, the system gets its own lParam back.
struct InFlight {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM program_lparam;
    LPARAM system_lparam;
};

struct Scratch {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old_bitmap = nullptr;
    uint32_t* bits = nullptr;
    int width = 0, height = 0;
    int next_row = 0;   // rows above it may still be read by GDI until the next flush
};

struct ScaleState {
    bool decided = false;
    bool active = false;   // windows are made for scaling: thunks, our own edges
    int scale = 1;
    WindowProcedure creating = nullptr;   // the procedure of the main window being made
    std::vector<WindowProcedure> program_procedures;
    std::vector<InFlight> in_flight;
    HFONT control_font = nullptr;
    int control_font_scale = 0;
    HFONT drawing_font = nullptr;
    bool drawing_font_made = false;
    Scratch scratch;
};
ScaleState scale_state;

int FloorDivide(int a, int n) {
    return a >= 0 ? a / n : -((-a + n - 1) / n);
}

int CeilDivide(int a, int n) {
    return -FloorDivide(-a, n);
}

LPARAM PackPair(int a, int b) {
    return static_cast<LPARAM>(static_cast<uint32_t>(static_cast<uint16_t>(a)) |
                               (static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16));
}

int LowSigned(LPARAM v) {
    return static_cast<int16_t>(static_cast<uint16_t>(v & 0xFFFF));
}

int HighSigned(LPARAM v) {
    return static_cast<int16_t>(static_cast<uint16_t>((v >> 16) & 0xFFFF));
}

// The dpi of the monitor at `at`, as a per-monitor-aware program would see it. Systems that
// cannot say (before Windows 10 1607) give what GDI tells this program: 96 unless the desktop
// shows unaware programs unscaled.
int MonitorDpiAt(POINT at) {
    HMONITOR monitor = MonitorFromPoint(at, MONITOR_DEFAULTTOPRIMARY);
    auto monitor_dpi = Lookup<MonitorDpiCall>("shcore.dll", "GetDpiForMonitor");
    auto thread_context = Lookup<SetThreadContextCall>("user32.dll", "SetThreadDpiAwarenessContext");
    if (monitor && monitor_dpi && thread_context) {
        // An unaware thread is told 96 for every monitor: ask as an aware one, just for this.
        HANDLE old = thread_context(CONTEXT_PER_MONITOR_AWARE_V2);
        if (!old) old = thread_context(CONTEXT_PER_MONITOR_AWARE);
        UINT x = 0, y = 0;
        HRESULT result = monitor_dpi(monitor, MONITOR_EFFECTIVE_DPI, &x, &y);
        if (old) thread_context(old);
        if (old && SUCCEEDED(result) && y > 0) return static_cast<int>(y);
    }
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : BASE_DPI;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : BASE_DPI;
}

// Per-monitor DPI awareness, by the newest call the system has. True when the process is
// aware afterwards (also when it was already, by a compatibility setting) or when the system
// knows no awareness at all (it then scales nobody).
bool BecomePerMonitorAware() {
    bool any = false;
    if (auto set_context = Lookup<SetProcessContextCall>("user32.dll", "SetProcessDpiAwarenessContext")) {
        any = true;
        if (set_context(CONTEXT_PER_MONITOR_AWARE_V2) || set_context(CONTEXT_PER_MONITOR_AWARE)) return true;
    }
    if (auto set_awareness = Lookup<SetProcessAwarenessCall>("shcore.dll", "SetProcessDpiAwareness")) {
        any = true;
        if (SUCCEEDED(set_awareness(PROCESS_PER_MONITOR_AWARE))) return true;
    }
    if (auto set_aware = Lookup<SetProcessAwareCall>("user32.dll", "SetProcessDPIAware")) {
        any = true;
        if (set_aware()) return true;
    }
    if (auto is_aware = Lookup<IsProcessAwareCall>("user32.dll", "IsProcessDPIAware")) return is_aware() != FALSE;
    return !any;
}

UINT WindowDpi(HWND window) {
    static WindowDpiCall window_dpi = Lookup<WindowDpiCall>("user32.dll", "GetDpiForWindow");
    UINT dpi = window_dpi && window ? window_dpi(window) : 0;
    return dpi ? dpi : static_cast<UINT>(BASE_DPI * scale_state.scale);
}

// The width and height of the borders and caption of a frame with these styles at `dpi`.
SIZE FrameEdges(DWORD style, DWORD ex_style, UINT dpi) {
    static AdjustForDpiCall adjust_for_dpi = Lookup<AdjustForDpiCall>("user32.dll", "AdjustWindowRectExForDpi");
    RECT r = {0, 0, 0, 0};
    style &= ~static_cast<DWORD>(WS_CHILD);
    if (!adjust_for_dpi || !adjust_for_dpi(&r, style, FALSE, ex_style, dpi)) AdjustWindowRectEx(&r, style, FALSE, ex_style);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

struct FrameSums {
    SIZE edges_96;
    SIZE edges;
};

FrameSums SumsFor(HWND window, UINT dpi) {
    DWORD style = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE));
    DWORD ex_style = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE));
    return FrameSums{FrameEdges(style, ex_style, BASE_DPI), FrameEdges(style, ex_style, dpi)};
}

SIZE ScreenFrameSize(const FrameSums& sums, int scale, int width, int height) {
    int w = 0, h = 0;
    FrameSizeAtScale(scale, width, height, sums.edges_96.cx, sums.edges_96.cy, sums.edges.cx, sums.edges.cy, &w, &h);
    return SIZE{w, h};
}

SIZE ProgramFrameSize(const FrameSums& sums, int scale, int width, int height) {
    int w = 0, h = 0;
    FrameSizeOfScale(scale, width, height, sums.edges_96.cx, sums.edges_96.cy, sums.edges.cx, sums.edges.cy, &w, &h);
    return SIZE{w, h};
}

// ---------------------------------------------------------------------------------------
// Fonts
// ---------------------------------------------------------------------------------------

// The system's GUI font made `pixels_per_inch` / 96 times its 96-dpi size. The stock object is
// made for the display's dpi, which is not the program's: at 96 it is used as it is.
HFONT GuiFontFor(int pixels_per_inch) {
    HGDIOBJ stock = GDI_CALL(GetStockObject(DEFAULT_GUI_FONT));
    HDC screen = GDI_CALL(GetDC(nullptr));
    int display_dpi = screen ? GDI_CALL(GetDeviceCaps(screen, LOGPIXELSY)) : BASE_DPI;
    if (screen) GDI_CALL(ReleaseDC(nullptr, screen));
    if (display_dpi <= 0 || display_dpi == pixels_per_inch) return static_cast<HFONT>(stock);
    LOGFONTA description;
    if (!GDI_CALL(GetObjectA(stock, sizeof(description), &description))) return static_cast<HFONT>(stock);
    description.lfHeight = MulDiv(description.lfHeight, pixels_per_inch, display_dpi);
    description.lfWidth = MulDiv(description.lfWidth, pixels_per_inch, display_dpi);
    HFONT font = GDI_CALL(CreateFontIndirectA(&description));
    return font ? font : static_cast<HFONT>(stock);
}

bool IsStockFont(HFONT font) {
    return font == static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

// ---------------------------------------------------------------------------------------
// The enlarging copy
// ---------------------------------------------------------------------------------------

// One row of `width` source pixels as `n` times as many.
void EnlargeRow(const uint32_t* __restrict from, uint32_t* __restrict to, int width, int n) {
    int x = 0;
    if (n == 2) {
#if defined(__SSE2__)
        for (; x + 4 <= width; x += 4) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 2 * x), _mm_unpacklo_epi32(v, v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 2 * x + 4), _mm_unpackhi_epi32(v, v));
        }
#endif
        for (; x < width; ++x) to[2 * x] = to[2 * x + 1] = from[x];
        return;
    }
    for (; x < width; ++x) std::fill_n(to + (size_t)x * n, n, from[x]);
}

// A scratch section at least `width` pixels wide (made anew when narrower, after GDI has let
// go of the old one). False when none can be made.
bool ScratchReady(int width) {
    Scratch& s = scale_state.scratch;
    if (s.bits && s.width >= width) return true;
    FlushGdiWork();
    if (s.dc) {
        GDI_CALL(SelectObject(s.dc, s.old_bitmap));
        GDI_CALL(DeleteObject(s.bitmap));
        s.bitmap = nullptr;
        s.bits = nullptr;
    } else {
        s.dc = GDI_CALL(CreateCompatibleDC(nullptr));
        if (!s.dc) return false;
    }
    const int w = std::max(width, 1024 * scale_state.scale);
    const int h = std::max(SCRATCH_PIXELS / w, 2 * MAX_SCALE);
    void* bits = nullptr;
    HBITMAP bitmap = NewTopDownBitmap(w, h, 32, &bits);
    if (!bitmap) {
        s.width = s.height = 0;
        return false;
    }
    HGDIOBJ previous = GDI_CALL(SelectObject(s.dc, bitmap));
    if (!s.old_bitmap) s.old_bitmap = previous;
    s.bitmap = bitmap;
    s.bits = static_cast<uint32_t*>(bits);
    s.width = w;
    s.height = h;
    s.next_row = 0;
    return true;
}

// ---------------------------------------------------------------------------------------
// Children: where the program put them, and putting them there again at another scale
// ---------------------------------------------------------------------------------------

bool RecallPlace(HWND child, int* x, int* y, int* width, int* height) {
    HANDLE xy = GetPropA(child, PLACE_XY_PROPERTY);
    HANDLE wh = GetPropA(child, PLACE_WH_PROPERTY);
    if (!xy && !wh) return false;
    LPARAM a = reinterpret_cast<LPARAM>(xy), b = reinterpret_cast<LPARAM>(wh);
    *x = LowSigned(a);
    *y = HighSigned(a);
    *width = LowSigned(b);
    *height = HighSigned(b);
    return true;
}

bool HasClass(HWND window, const char* name) {
    char class_name[64] = {};
    return GetClassNameA(window, class_name, sizeof(class_name)) > 0 && lstrcmpiA(class_name, name) == 0;
}

void PlaceChildAtScale(HWND child) {
    const int n = scale_state.scale;
    const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED;
    if (HasClass(child, TOOLBARCLASSNAMEA)) {
        SizeToolbarButtons(child);
        SendMessageA(child, TB_AUTOSIZE, 0, 0);
        return;
    }
    int x, y, w, h;
    if (!RecallPlace(child, &x, &y, &w, &h)) return;
    if (HasClass(child, WC_COMBOBOXA)) {
        GDI_CALL(SetWindowPos(child, nullptr, n * x, n * y, n * w, n * OPEN_LIST_HEIGHT, flags));
        SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(ControlFont()), TRUE);
        FitClosedListHeight(child, n * h);
        return;
    }
    if (PlatformImage* image = ControlImage(child)) {
        w = image->width + 4;
        h = image->height + 4;
    }
    GDI_CALL(SetWindowPos(child, nullptr, n * x, n * y, n * w, n * h, flags));
}

BOOL CALLBACK PlaceOneChild(HWND child, LPARAM) {
    PlaceChildAtScale(child);
    return TRUE;
}

// The program's windows at a new scale: every child placed and sized again, the frame
// sized around N times the client area the program had, at `at` (the top-left corner the
// system suggests), everything painted anew.
void Rescale(HWND top, int scale, UINT dpi, POINT at) {
    RECT client;
    GetClientRect(top, &client);
    const int program_width = client.right / scale_state.scale, program_height = client.bottom / scale_state.scale;
    HFONT old_font = scale_state.control_font;
    scale_state.scale = scale;
    scale_state.control_font = nullptr;
    scale_state.control_font_scale = 0;
    // Children of children (the lists on the toolbar) too.
    EnumChildWindows(top, PlaceOneChild, 0);
    if (old_font && !IsStockFont(old_font)) GDI_CALL(DeleteObject(old_font));
    SIZE edges = SumsFor(top, dpi).edges;
    GDI_CALL(SetWindowPos(top, nullptr, at.x, at.y, scale * program_width + edges.cx,
                          scale * program_height + edges.cy, SWP_NOZORDER | SWP_NOACTIVATE));
    FitMainClient(top, program_width, program_height);
    NoteLayoutChange();
    ForgetShownPixels();
    GDI_CALL(RedrawWindow(top, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN));
}

// The messages whose lParam holds a point in client coordinates: WM_MOUSEMOVE to
// WM_XBUTTONDBLCLK, but not the wheel's (0x020A), whose point is on the screen.
bool IsClientMouseMessage(UINT message) {
    return message >= 0x0200 && message <= 0x020D && message != 0x020A;
}

// ---------------------------------------------------------------------------------------
// WM_GETMINMAXINFO in program pixels
// ---------------------------------------------------------------------------------------

MINMAXINFO ProgramMinMax(const MINMAXINFO& system, const FrameSums& sums) {
    const int n = scale_state.scale;
    MINMAXINFO program = system;
    auto size = [&](POINT p) {
        SIZE s = ProgramFrameSize(sums, n, p.x, p.y);
        return POINT{s.cx, s.cy};
    };
    program.ptMaxSize = size(system.ptMaxSize);
    program.ptMaxPosition = POINT{FloorDivide(system.ptMaxPosition.x, n), FloorDivide(system.ptMaxPosition.y, n)};
    program.ptMinTrackSize = size(system.ptMinTrackSize);
    program.ptMaxTrackSize = size(system.ptMaxTrackSize);
    return program;
}

// What the program changed in its copy goes back into the system's, at the screen's scale.
void ApplyProgramMinMax(const MINMAXINFO& before, const MINMAXINFO& after, MINMAXINFO* system,
                        const FrameSums& sums) {
    const int n = scale_state.scale;
    auto changed = [](POINT a, POINT b) { return a.x != b.x || a.y != b.y; };
    auto size = [&](POINT p) {
        SIZE s = ScreenFrameSize(sums, n, p.x, p.y);
        return POINT{s.cx, s.cy};
    };
    if (changed(before.ptMaxSize, after.ptMaxSize)) system->ptMaxSize = size(after.ptMaxSize);
    if (changed(before.ptMaxPosition, after.ptMaxPosition))
        system->ptMaxPosition = POINT{after.ptMaxPosition.x * n, after.ptMaxPosition.y * n};
    if (changed(before.ptMinTrackSize, after.ptMinTrackSize)) system->ptMinTrackSize = size(after.ptMinTrackSize);
    if (changed(before.ptMaxTrackSize, after.ptMaxTrackSize)) system->ptMaxTrackSize = size(after.ptMaxTrackSize);
}

WindowProcedure ProcedureOf(HWND window) {
    WindowProcedure procedure = reinterpret_cast<WindowProcedure>(GetPropA(window, PROCEDURE_PROPERTY));
    if (!procedure && scale_state.creating) {
        // The first messages of a main window arrive inside CreateWindowEx.
        procedure = scale_state.creating;
        SetPropA(window, PROCEDURE_PROPERTY, reinterpret_cast<HANDLE>(procedure));
    }
    return procedure;
}

LRESULT CallProgram(WindowProcedure procedure, HWND window, UINT message, WPARAM wparam, LPARAM system_lparam,
                    LPARAM program_lparam) {
    scale_state.in_flight.push_back(InFlight{window, message, wparam, program_lparam, system_lparam});
    LRESULT result = procedure(AsWindowRef(window), message, wparam, program_lparam);
    scale_state.in_flight.pop_back();
    return result;
}

// Moving to a monitor of another dpi. A whole-number scale there is taken; otherwise the
// program keeps its scale and only its frame follows the new dpi's borders and caption.
LRESULT DpiChanged(HWND window, WPARAM wparam, LPARAM lparam) {
    const UINT dpi = HIWORD(wparam);
    const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
    const int whole = WholeScaleForDpi(static_cast<int>(dpi));
    RECT frame;
    GetWindowRect(window, &frame);
    POINT at = suggested ? POINT{suggested->left, suggested->top} : POINT{frame.left, frame.top};
    Rescale(window, whole ? whole : scale_state.scale, dpi, at);
    return 0;
}

// The size the frame will have at the new dpi (asked before WM_DPICHANGED, so the system
// places the window as it will really be).
LRESULT DpiScaledSize(HWND window, WPARAM wparam, LPARAM lparam) {
    SIZE* size = reinterpret_cast<SIZE*>(lparam);
    if (!size) return FALSE;
    const UINT dpi = static_cast<UINT>(wparam);
    const int whole = WholeScaleForDpi(static_cast<int>(dpi));
    const int scale = whole ? whole : scale_state.scale;
    RECT client;
    GetClientRect(window, &client);
    SIZE edges = SumsFor(window, dpi).edges;
    size->cx = scale * (client.right / scale_state.scale) + edges.cx;
    size->cy = scale * (client.bottom / scale_state.scale) + edges.cy;
    return TRUE;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The scale and its sums
// ---------------------------------------------------------------------------------------

int DisplayScale() {
    return scale_state.scale;
}

int WholeScaleForDpi(int dpi) {
    if (dpi < BASE_DPI || dpi % BASE_DPI != 0 || dpi / BASE_DPI > MAX_SCALE) return 0;
    return dpi / BASE_DPI;
}

void FrameSizeAtScale(int scale, int frame_width, int frame_height, int edges_96_width, int edges_96_height,
                      int edges_width, int edges_height, int* width, int* height) {
    *width = scale * (frame_width - edges_96_width) + edges_width;
    *height = scale * (frame_height - edges_96_height) + edges_height;
}

void FrameSizeOfScale(int scale, int width, int height, int edges_96_width, int edges_96_height, int edges_width,
                      int edges_height, int* frame_width, int* frame_height) {
    *frame_width = FloorDivide(width - edges_width, scale) + edges_96_width;
    *frame_height = FloorDivide(height - edges_height, scale) + edges_96_height;
}

void UseDisplayScaleForTests(int scale) {
    scale_state.decided = true;
    scale_state.scale = std::max(1, std::min(MAX_SCALE, scale));
    scale_state.active = scale_state.scale > 1;
    if (scale_state.control_font && !IsStockFont(scale_state.control_font))
        GDI_CALL(DeleteObject(scale_state.control_font));
    scale_state.control_font = nullptr;
    scale_state.control_font_scale = 0;
}

void DecideDisplayScale(int x, int y) {
    if (scale_state.decided) return;
    scale_state.decided = true;
    const int whole = WholeScaleForDpi(MonitorDpiAt(POINT{x, y}));
    // At 96 dpi, and at a dpi of no whole-number scale, the program stays as it always was:
    // DPI-unaware, and the system scales it if it must.
    if (whole < 2 || !BecomePerMonitorAware()) return;
    scale_state.scale = whole;
    scale_state.active = true;
}

bool ScalingActive() {
    return scale_state.active;
}

RECT ScreenRect(const RECT& r) {
    const int n = scale_state.scale;
    return RECT{r.left * n, r.top * n, r.right * n, r.bottom * n};
}

RECT ProgramRect(const RECT& r) {
    const int n = scale_state.scale;
    return RECT{FloorDivide(r.left, n), FloorDivide(r.top, n), CeilDivide(r.right, n), CeilDivide(r.bottom, n)};
}

RECT ProgramRectInside(const RECT& r) {
    const int n = scale_state.scale;
    return RECT{CeilDivide(r.left, n), CeilDivide(r.top, n), FloorDivide(r.right, n), FloorDivide(r.bottom, n)};
}

void ScreenFrame(HWND window, RECT* frame) {
    const int n = scale_state.scale;
    if (n == 1) return;
    SIZE size = ScreenFrameSize(SumsFor(window, WindowDpi(window)), n, frame->right - frame->left,
                                frame->bottom - frame->top);
    frame->left *= n;
    frame->top *= n;
    frame->right = frame->left + size.cx;
    frame->bottom = frame->top + size.cy;
}

void ProgramFrame(HWND window, RECT* frame) {
    const int n = scale_state.scale;
    if (n == 1) return;
    // Screen coordinates: the window's monitor keeps its corner, distances shrink N times.
    POINT origin = {0, 0};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor))
        origin = POINT{monitor.rcMonitor.left, monitor.rcMonitor.top};
    SIZE size = ProgramFrameSize(SumsFor(window, WindowDpi(window)), n, frame->right - frame->left,
                                 frame->bottom - frame->top);
    frame->left = origin.x + FloorDivide(frame->left - origin.x, n);
    frame->top = origin.y + FloorDivide(frame->top - origin.y, n);
    frame->right = frame->left + size.cx;
    frame->bottom = frame->top + size.cy;
}

void MainFrameForClient(DWORD style, int client_width, int client_height, RECT* frame) {
    const int n = scale_state.scale;
    *frame = RECT{0, 0, n * client_width, n * client_height};
    if (n == 1) {
        AdjustWindowRect(frame, style, FALSE);
        return;
    }
    // The dpi of the monitor the window opens on: the one whose scale this is.
    SIZE edges = FrameEdges(style, 0, static_cast<UINT>(BASE_DPI * n));
    frame->right += edges.cx;
    frame->bottom += edges.cy;
}

void FitMainClient(HWND window, int client_width, int client_height) {
    const int n = scale_state.scale;
    RECT client, frame;
    if ((n == 1 && !scale_state.active) || !GetClientRect(window, &client) || !GetWindowRect(window, &frame)) return;
    const int dw = n * client_width - client.right, dh = n * client_height - client.bottom;
    if (dw == 0 && dh == 0) return;
    // The borders and caption came out otherwise than asked (another dpi, a theme).
    GDI_CALL(SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left + dw, frame.bottom - frame.top + dh,
                          SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE));
}

// ---------------------------------------------------------------------------------------
// The program's procedures
// ---------------------------------------------------------------------------------------

void SetCreatingProcedure(WindowProcedure procedure) {
    scale_state.creating = procedure;
    if (procedure) NoteProgramProcedure(procedure);
}

void NoteProgramProcedure(WindowProcedure procedure) {
    auto& all = scale_state.program_procedures;
    if (std::find(all.begin(), all.end(), procedure) == all.end()) all.push_back(procedure);
}

bool IsProgramProcedure(WindowProcedure procedure) {
    auto& all = scale_state.program_procedures;
    return std::find(all.begin(), all.end(), procedure) != all.end();
}

WindowProcedure SwapProgramProcedure(HWND window, WindowProcedure procedure) {
    NoteProgramProcedure(procedure);
    WNDPROC current = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC));
    if (current == ProgramProcedureThunk) {
        WindowProcedure old = reinterpret_cast<WindowProcedure>(GetPropA(window, PROCEDURE_PROPERTY));
        SetPropA(window, PROCEDURE_PROPERTY, reinterpret_cast<HANDLE>(procedure));
        return old;
    }
    SetPropA(window, PROCEDURE_PROPERTY, reinterpret_cast<HANDLE>(procedure));
    LONG_PTR old = SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ProgramProcedureThunk));
    return reinterpret_cast<WindowProcedure>(old);
}

LPARAM SystemLParam(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    const auto& all = scale_state.in_flight;
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->window == window && it->message == message && it->wparam == wparam && it->program_lparam == lparam)
            return it->system_lparam;
    // One the program made itself: its sizes and points are in its own pixels.
    const int n = scale_state.scale;
    if (n > 1 && (message == WM_SIZE || IsClientMouseMessage(message)))
        return PackPair(LowSigned(lparam) * n, HighSigned(lparam) * n);
    return lparam;
}

LRESULT CALLBACK ProgramProcedureThunk(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    WindowProcedure procedure = ProcedureOf(window);
    if (!procedure) return DefWindowProcA(window, message, wparam, lparam);
    const bool top = !(GetWindowLongPtrA(window, GWL_STYLE) & WS_CHILD);
    if (top && message == WM_DPICHANGED) return DpiChanged(window, wparam, lparam);
    if (top && message == WM_GETDPISCALEDSIZE) return DpiScaledSize(window, wparam, lparam);
    const int n = scale_state.scale;
    if (message == WM_SIZE)
        return CallProgram(procedure, window, message, wparam, lparam,
                           PackPair(LOWORD(lparam) / n, HIWORD(lparam) / n));
    if (IsClientMouseMessage(message))
        return CallProgram(procedure, window, message, wparam, lparam,
                           PackPair(FloorDivide(LowSigned(lparam), n), FloorDivide(HighSigned(lparam), n)));
    if (message == WM_GETMINMAXINFO && lparam) {
        MINMAXINFO* system = reinterpret_cast<MINMAXINFO*>(lparam);
        const FrameSums sums = SumsFor(window, WindowDpi(window));
        const MINMAXINFO before = ProgramMinMax(*system, sums);
        MINMAXINFO program = before;
        LRESULT result =
            CallProgram(procedure, window, message, wparam, lparam, reinterpret_cast<LPARAM>(&program));
        ApplyProgramMinMax(before, program, system, sums);
        return result;
    }
    return procedure(AsWindowRef(window), message, wparam, lparam);
}

// ---------------------------------------------------------------------------------------
// Children
// ---------------------------------------------------------------------------------------

void RememberPlace(HWND child, int x, int y, int width, int height) {
    SetPropA(child, PLACE_XY_PROPERTY, reinterpret_cast<HANDLE>(PackPair(x, y)));
    SetPropA(child, PLACE_WH_PROPERTY, reinterpret_cast<HANDLE>(PackPair(width, height)));
}

void RememberToolbarButtons(HWND toolbar, int width, int height, int bar_height) {
    SetPropA(toolbar, BUTTON_PROPERTY, reinterpret_cast<HANDLE>(PackPair(width, height)));
    SetPropA(toolbar, BAR_PROPERTY, reinterpret_cast<HANDLE>(static_cast<LPARAM>(bar_height)));
}

void SizeToolbarButtons(HWND toolbar) {
    LPARAM button = reinterpret_cast<LPARAM>(GetPropA(toolbar, BUTTON_PROPERTY));
    const int bar = static_cast<int>(reinterpret_cast<LPARAM>(GetPropA(toolbar, BAR_PROPERTY)));
    if (!button || !bar) return;
    const int n = scale_state.scale;
    // The blank buttons show no image, but the button is sized around the image's place:
    // comctl32's 16 x 15 default, N times. The buttons are N times as wide, so they lie where
    // the program put them; the bar's divider and margins keep their size, so the buttons
    // take the rest of N times the bar's height.
    SendMessageA(toolbar, TB_SETBITMAPSIZE, 0, MAKELPARAM(16 * n, 15 * n));
    SendMessageA(toolbar, TB_SETBUTTONSIZE, 0,
                 MAKELPARAM(LowSigned(button) * n, HighSigned(button) + (n - 1) * bar));
}

// ---------------------------------------------------------------------------------------
// Sunken edges N times as thick
// ---------------------------------------------------------------------------------------

void UseOwnEdge(HWND window) {
    SetPropA(window, EDGE_PROPERTY, reinterpret_cast<HANDLE>(1));
    GDI_CALL(SetWindowPos(window, nullptr, 0, 0, 0, 0,
                          SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED));
}

bool HandleOwnEdge(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
    if (message != WM_NCCALCSIZE && message != WM_NCPAINT) return false;
    if (!GetPropA(window, EDGE_PROPERTY)) return false;
    const int n = scale_state.scale, edge = 2 * n;
    *result = 0;
    if (message == WM_NCCALCSIZE) {
        RECT* r = wparam ? &reinterpret_cast<NCCALCSIZE_PARAMS*>(lparam)->rgrc[0] : reinterpret_cast<RECT*>(lparam);
        if (!r) return true;
        r->left = std::min(r->left + edge, r->right);
        r->top = std::min(r->top + edge, r->bottom);
        r->right = std::max(r->right - edge, r->left);
        r->bottom = std::max(r->bottom - edge, r->top);
        return true;
    }
    // The system's sunken edge as it draws it at scale 1, on a window 1/N the size, each of
    // its pixels N x N.
    RECT outer;
    GetWindowRect(window, &outer);
    const int w = (outer.right - outer.left) / n, h = (outer.bottom - outer.top) / n;
    if (w < 4 || h < 4) return true;
    PlatformImage* edge_image = NewImage(w, h, 32);
    HDC dc = GDI_CALL(GetWindowDC(window));
    HDC image_dc = edge_image ? KeptImageDC(edge_image) : nullptr;
    if (dc && image_dc) {
        RECT whole = {0, 0, w, h};
        GDI_CALL(DrawEdge(image_dc, &whole, EDGE_SUNKEN, BF_RECT));
        GDI_CALL(GdiFlush());
        const Surface view = edge_image->View();
        const RECT strips[4] = {{0, 0, w, 2}, {0, h - 2, w, h}, {0, 2, 2, h - 2}, {w - 2, 2, w, h - 2}};
        for (const RECT& strip : strips) EnlargeToScreen(dc, view, strip);
    }
    if (dc) GDI_CALL(ReleaseDC(window, dc));
    FlushGdiWork();
    DeleteImage(edge_image);
    return true;
}

// ---------------------------------------------------------------------------------------
// Fonts
// ---------------------------------------------------------------------------------------

HFONT ControlFont() {
    const int n = scale_state.scale;
    if (!scale_state.control_font || scale_state.control_font_scale != n) {
        if (scale_state.control_font && !IsStockFont(scale_state.control_font))
            GDI_CALL(DeleteObject(scale_state.control_font));
        scale_state.control_font = GuiFontFor(BASE_DPI * n);
        scale_state.control_font_scale = n;
    }
    return scale_state.control_font;
}

HFONT DrawingGuiFont() {
    if (!scale_state.drawing_font_made) {
        scale_state.drawing_font = GuiFontFor(BASE_DPI);
        scale_state.drawing_font_made = true;
    }
    return scale_state.drawing_font;
}

// ---------------------------------------------------------------------------------------
// The enlarging copy
// ---------------------------------------------------------------------------------------

void EnlargeToScreen(HDC dc, const Surface& from, const RECT& r) {
    const int n = scale_state.scale;
    RECT part = {std::max<LONG>(r.left, 0), std::max<LONG>(r.top, 0), std::min<LONG>(r.right, from.width),
                 std::min<LONG>(r.bottom, from.height)};
    if (part.left >= part.right || part.top >= part.bottom) return;
    const int w = part.right - part.left;
    if (!ScratchReady(n * w)) return;
    Scratch& s = scale_state.scratch;
    for (int y = part.top; y < part.bottom;) {
        int rows = (s.height - s.next_row) / n;
        if (rows <= 0) {
            // Every row of the scratch has been handed to GDI since it was last flushed.
            FlushGdiWork();
            s.next_row = 0;
            rows = s.height / n;
        }
        rows = std::min(rows, static_cast<int>(part.bottom) - y);
        for (int i = 0; i < rows; ++i) {
            uint32_t* first = s.bits + (size_t)(s.next_row + i * n) * s.width;
            EnlargeRow(from.pixels + (size_t)(y + i) * from.stride + part.left, first, w, n);
            for (int k = 1; k < n; ++k) std::memcpy(first + (size_t)k * s.width, first, (size_t)w * n * 4);
        }
        GDI_CALL(BitBlt(dc, n * part.left, n * y, n * w, n * rows, s.dc, 0, s.next_row, SRCCOPY));
        NoteGdiWork();
        s.next_row += n * rows;
        y += rows;
    }
}

void ScratchFlushed() {
    scale_state.scratch.next_row = 0;
}
