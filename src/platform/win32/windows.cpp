// Top-level windows, window procedures, properties, the message queue, timers and keys on
// USER32: InitControlLibrary, CreateMainWindow ... GetKeyboardFocus, ReplaceWindowProcedure
// ... GetWindowUserData, SendWindowMessage ... QueryAsyncKeyState.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/win32/backend.h"

// The seam's records are the Windows ones, so they are passed straight through.
static_assert(sizeof(PointI) == sizeof(POINT) && offsetof(PointI, y) == offsetof(POINT, y), "POINT");
static_assert(sizeof(RectI) == sizeof(RECT) && offsetof(RectI, right) == offsetof(RECT, right), "RECT");
static_assert(sizeof(MinMaxInfo) == sizeof(MINMAXINFO), "MinMaxInfo must match MINMAXINFO");
static_assert(offsetof(MinMaxInfo, max_size) == offsetof(MINMAXINFO, ptMaxSize), "MINMAXINFO");
static_assert(offsetof(MinMaxInfo, max_position) == offsetof(MINMAXINFO, ptMaxPosition), "MINMAXINFO");
static_assert(offsetof(MinMaxInfo, min_track_size) == offsetof(MINMAXINFO, ptMinTrackSize), "MINMAXINFO");
static_assert(offsetof(MinMaxInfo, max_track_size) == offsetof(MINMAXINFO, ptMaxTrackSize), "MINMAXINFO");
static_assert(sizeof(WindowPlacementRecord) == sizeof(WINDOWPLACEMENT), "WINDOWPLACEMENT");
static_assert(offsetof(WindowPlacementRecord, show_command) == offsetof(WINDOWPLACEMENT, showCmd),
              "WINDOWPLACEMENT");
static_assert(offsetof(WindowPlacementRecord, min_position) == offsetof(WINDOWPLACEMENT, ptMinPosition),
              "WINDOWPLACEMENT");
static_assert(offsetof(WindowPlacementRecord, max_position) == offsetof(WINDOWPLACEMENT, ptMaxPosition),
              "WINDOWPLACEMENT");
static_assert(offsetof(WindowPlacementRecord, normal_position) ==
                  offsetof(WINDOWPLACEMENT, rcNormalPosition),
              "WINDOWPLACEMENT");

namespace {

struct WindowsState {
    int next_control_id = 0x1000;
    int next_class = 1;
};
WindowsState windows_state;

// The brush a window's background is erased with, when we made it.
const char BACKGROUND_PROPERTY[] = "korvelt.background";

}  // namespace

HINSTANCE ProgramInstance() {
    return GetModuleHandleA(nullptr);
}

int ResolveControlId(int id) {
    return id == -1 ? windows_state.next_control_id++ : id;
}

void InitControlLibrary() {
    INITCOMMONCONTROLSEX init = {};
    init.dwSize = sizeof(init);
    init.dwICC = ICC_BAR_CLASSES | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&init);
}

WindowRef CreateMainWindow(const char* title, int x, int y, int client_width, int client_height,
                           uint32_t style, WindowProcedure procedure) {
    // The class carries the procedure, so it sees the window's very first messages
    // (WM_GETMINMAXINFO, WM_CREATE ...); each window gets a class of its own.
    // The scale is settled before the first window exists: per-monitor awareness can only be
    // asked for then.
    DecideDisplayScale(x, y);
    const bool scaled = ScalingActive() && procedure;
    char class_name[32];
    std::snprintf(class_name, sizeof(class_name), "KorveltWindow%d", windows_state.next_class++);
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = scaled ? ProgramProcedureThunk
                                      : procedure ? reinterpret_cast<WNDPROC>(procedure) : DefWindowProcA;
    window_class.hInstance = ProgramInstance();
    window_class.hIcon = LoadIconA(ProgramInstance(), MAKEINTRESOURCEA(1));
    window_class.hIconSm = static_cast<HICON>(LoadImageA(ProgramInstance(), MAKEINTRESOURCEA(1), IMAGE_ICON,
                                                         GetSystemMetrics(SM_CXSMICON),
                                                         GetSystemMetrics(SM_CYSMICON), 0));
    window_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = class_name;
    if (!RegisterClassExA(&window_class)) return nullptr;

    RECT frame;
    MainFrameForClient(style, client_width, client_height, &frame);
    const int n = DisplayScale();
    if (scaled) SetCreatingProcedure(procedure);
    HWND window = CreateWindowExA(0, class_name, title ? title : "", style, n * x, n * y, frame.right - frame.left,
                                  frame.bottom - frame.top, nullptr, nullptr, ProgramInstance(), nullptr);
    SetCreatingProcedure(nullptr);
    if (!window) {
        UnregisterClassA(class_name, ProgramInstance());
        return nullptr;
    }
    // A back buffer left by a window that went without DestroyWindowTree, under a handle
    // now reused, must not show here.
    ForgetBackBuffer(window);
    FitMainClient(window, client_width, client_height);
    ShowWindow(window, SW_SHOWNORMAL);
    GDI_CALL(UpdateWindow(window));
    return AsWindowRef(window);
}

void SetWindowBackground(WindowRef window, Colour colour) {
    HWND hwnd = AsHwnd(window);
    if (!hwnd) return;
    HBRUSH brush = GDI_CALL(CreateSolidBrush(colour));
    SetClassLongPtrA(hwnd, GCLP_HBRBACKGROUND, reinterpret_cast<LONG_PTR>(brush));
    HBRUSH old = static_cast<HBRUSH>(GetPropA(hwnd, BACKGROUND_PROPERTY));
    SetPropA(hwnd, BACKGROUND_PROPERTY, brush);
    if (old) GDI_CALL(DeleteObject(old));
    // What drawing on the window leaves in its back buffer is erased with the rest.
    ResetBackBuffer(hwnd, colour & 0x00FFFFFFu);
    GDI_CALL(RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW));
}

void DestroyWindowTree(WindowRef window) {
    HWND hwnd = AsHwnd(window);
    if (!hwnd || !IsWindow(hwnd)) return;
    // Our background brush outlives nothing else of the window.
    HBRUSH brush = static_cast<HBRUSH>(RemovePropA(hwnd, BACKGROUND_PROPERTY));
    char class_name[64] = {};
    bool own_class = !(GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_CHILD) &&
                     GetClassNameA(hwnd, class_name, sizeof(class_name)) > 0 &&
                     std::strncmp(class_name, "KorveltWindow", 13) == 0;
    DestroyWindow(hwnd);
    NoteLayoutChange();
    ForgetBackBuffer(hwnd);   // and those of its children
    if (own_class) UnregisterClassA(class_name, ProgramInstance());
    if (brush) GDI_CALL(DeleteObject(brush));
}

bool GetWindowFrame(WindowRef window, RectI* frame) {
    if (!frame || !GetWindowRect(AsHwnd(window), reinterpret_cast<RECT*>(frame))) return false;
    ProgramFrame(AsHwnd(window), reinterpret_cast<RECT*>(frame));
    return true;
}

bool GetClientSize(WindowRef window, int* width, int* height) {
    RECT client;
    if (!GetClientRect(AsHwnd(window), &client)) return false;
    const int n = DisplayScale();
    if (width) *width = (client.right - client.left) / n;
    if (height) *height = (client.bottom - client.top) / n;
    return true;
}

bool PlaceWindow(WindowRef window, const WindowPlacementRecord* placement) {
    NoteLayoutChange();
    if (!placement) return false;
    WINDOWPLACEMENT screen = *reinterpret_cast<const WINDOWPLACEMENT*>(placement);
    const int n = DisplayScale();
    if (n > 1) {
        ScreenFrame(AsHwnd(window), &screen.rcNormalPosition);
        // (-1, -1) leaves the position to the system.
        for (POINT* p : {&screen.ptMinPosition, &screen.ptMaxPosition})
            if (p->x != -1 || p->y != -1) *p = POINT{p->x * n, p->y * n};
    }
    return SetWindowPlacement(AsHwnd(window), &screen) != FALSE;
}

void ShowWindowAs(WindowRef window, int show_command) {
    ShowWindow(AsHwnd(window), show_command);
    NoteLayoutChange();
}

bool IsWindowShown(WindowRef window) {
    return IsWindowVisible(AsHwnd(window)) != FALSE;
}

void MoveControl(WindowRef control, int x, int y, int width, int height) {
    const int n = DisplayScale();
    if (ScalingActive()) RememberPlace(AsHwnd(control), x, y, width, height);
    MoveWindow(AsHwnd(control), n * x, n * y, n * width, n * height, TRUE);
    NoteLayoutChange();
}

bool GetControlRect(WindowRef control, RectI* rect) {
    HWND hwnd = AsHwnd(control);
    RECT r;
    if (!rect || !GetWindowRect(hwnd, &r)) return false;
    MapWindowPoints(HWND_DESKTOP, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
    r = ProgramRect(r);
    *rect = {r.left, r.top, r.right, r.bottom};
    return true;
}

void ShowControl(WindowRef control, bool visible) {
    ShowWindow(AsHwnd(control), visible ? SW_SHOW : SW_HIDE);
    NoteLayoutChange();
}

bool IsControlVisible(WindowRef control) {
    HWND hwnd = AsHwnd(control);
    return IsWindow(hwnd) && (GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

int GetControlId(WindowRef control) {
    return GetDlgCtrlID(AsHwnd(control));
}

WindowRef FindControl(WindowRef parent, int id) {
    return AsWindowRef(GetDlgItem(AsHwnd(parent), id));
}

WindowRef GetParentWindow(WindowRef window) {
    HWND hwnd = AsHwnd(window);
    // GetParent answers with the owner for a top-level window; we want no parent there.
    if (!IsWindow(hwnd) || !(GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_CHILD)) return nullptr;
    return AsWindowRef(GetParent(hwnd));
}

void SetKeyboardFocus(WindowRef window) {
    SetFocus(AsHwnd(window));
}

WindowRef GetKeyboardFocus() {
    return AsWindowRef(GetFocus());
}

// ---------------------------------------------------------------------------------------
// Procedures, properties, user data
// ---------------------------------------------------------------------------------------

WindowProcedure ReplaceWindowProcedure(WindowRef window, WindowProcedure procedure) {
    if (ScalingActive() && procedure) return SwapProgramProcedure(AsHwnd(window), procedure);
    LONG_PTR old = SetWindowLongPtrA(AsHwnd(window), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure));
    return reinterpret_cast<WindowProcedure>(old);
}

intptr_t CallWindowProcedure(WindowProcedure procedure, WindowRef window, uint32_t message, uintptr_t wparam,
                             intptr_t lparam) {
    if (!procedure) return 0;
    if (ScalingActive()) {
        // The program's own procedures take the program's numbers; the system's, its own.
        if (IsProgramProcedure(procedure)) return procedure(window, message, wparam, lparam);
        lparam = SystemLParam(AsHwnd(window), message, wparam, lparam);
    }
    return CallWindowProcA(reinterpret_cast<WNDPROC>(procedure), AsHwnd(window), message, wparam, lparam);
}

intptr_t DefaultWindowProcedure(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    HWND hwnd = AsHwnd(window);
    // A window that has been drawn on shows its back buffer, which holds its background too.
    // Its own erase is left to WM_PAINT, which copies the buffer but leaves children out; a
    // transparent child that asks for what lies beneath it gets the buffer's pixels.
    if (message == WM_ERASEBKGND && HasBackBuffer(hwnd)) {
        HDC dc = reinterpret_cast<HDC>(wparam);
        if (dc && WindowFromDC(dc) != hwnd) EraseFromBackBuffer(hwnd, dc);
        return 1;
    }
    if (message == WM_PAINT && PaintFromBackBuffer(hwnd)) return 0;
    if (ScalingActive()) lparam = SystemLParam(hwnd, message, wparam, lparam);
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

void SetWindowProperty(WindowRef window, const char* name, void* value) {
    SetPropA(AsHwnd(window), name, value);
}

void* GetWindowProperty(WindowRef window, const char* name) {
    return GetPropA(AsHwnd(window), name);
}

void* RemoveWindowProperty(WindowRef window, const char* name) {
    return RemovePropA(AsHwnd(window), name);
}

void SetWindowUserData(WindowRef window, intptr_t data) {
    SetWindowLongPtrA(AsHwnd(window), GWLP_USERDATA, data);
}

intptr_t GetWindowUserData(WindowRef window) {
    return GetWindowLongPtrA(AsHwnd(window), GWLP_USERDATA);
}

// ---------------------------------------------------------------------------------------
// Messages, timers, keys
// ---------------------------------------------------------------------------------------

intptr_t SendWindowMessage(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    return SendMessageA(AsHwnd(window), message, wparam, lparam);
}

bool PostWindowMessage(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    return PostMessageA(AsHwnd(window), message, wparam, lparam) != FALSE;
}

bool WaitAndDispatchMessage() {
    MSG msg;
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) return false;   // WM_QUIT, or no queue any more
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

bool PumpOneMessage() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        // Leave the quit for the main loop's GetMessage to see.
        PostQuitMessage(static_cast<int>(msg.wParam));
        return false;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

void StartWindowTimer(WindowRef window, uintptr_t id, uint32_t period_ms) {
    SetTimer(AsHwnd(window), id, period_ms, nullptr);
}

void StopWindowTimer(WindowRef window, uintptr_t id) {
    KillTimer(AsHwnd(window), id);
}

int16_t QueryAsyncKeyState(int virtual_key) {
    return GetAsyncKeyState(virtual_key);
}
