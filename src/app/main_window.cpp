// Main window: creation, the toolbar and its selectors, the scope frames and their fixed
// layout, the default settings and placement, and the window message callback.
#include "app/main_window.h"

#include <initializer_list>

#include "app/state.h"
#include "capture/capture.h"
#include "display/display.h"

namespace {

WindowRef left_scope_frame;
WindowRef right_scope_frame;
bool callback_installed;   // the callback acts only once the controls exist
bool close_requested;

}  // namespace

const char* MainWindowTitle() {
    return sizeof(void*) == 8 ? "KORVELT - BETA2 - 64 BIT - MARDELLIN"
                              : "KORVELT - BETA2 - 32 BIT - MARDELLIN";
}

WindowRef CreateProgramWindow() {
    // A second run of the main routine in one process starts with no close pending.
    close_requested = false;
    WindowRef window = CreateMainWindow(MainWindowTitle(), MAIN_FRAME_X, MAIN_FRAME_Y,
                                        MAIN_CLIENT_WIDTH, MAIN_CLIENT_HEIGHT, MAIN_WINDOW_STYLE,
                                        MainWindowProc);
    if (window) SetWindowBackground(window, MAIN_BACKGROUND);
    return window;
}

WindowRef FindSelector(int id) {
    return program.toolbar_handle ? FindControl(program.toolbar_handle, id) : nullptr;
}

void AddToolbarCombo(int id, int x, int y, int width, int height) {
    WindowRef toolbar = program.toolbar_handle;
    const int n = ToolbarButtonCount(toolbar);
    // The image index lies past the toolbar's images, so the button shows nothing.
    ToolbarInsertBlankButton(toolbar, n, x + width);
    RectI item = {0, 0, 0, 0};
    ToolbarItemRect(toolbar, n, &item);
    CreateDropDownList(toolbar, id, x + item.left, y, width, height);
}

namespace {

// One of the three format selectors: they keep a selection that capture reads, but the
// format is fixed, so they are never shown.
void AddHiddenSelector(int id, int x, int width, std::initializer_list<const char*> items, int selected) {
    AddToolbarCombo(id, x, 4, width, 20);
    WindowRef list = FindSelector(id);
    for (const char* item : items) ListAddItem(list, item);
    ListSelect(list, selected);
    ShowControl(list, false);
}

}  // namespace

bool CreateMainControls() {
    program.quit_requested = 0;
    program.toolbar_handle = MakeToolbar(program.main_window_handle);
    if (!program.toolbar_handle) return false;

    AddHiddenSelector(ID_CHANNELS_COMBO, 36, 58, {"Mono", "Stereo"}, 0);
    AddHiddenSelector(ID_BITS_COMBO, 94, 55, {"8 bits", "16 bits"}, 1);
    AddHiddenSelector(ID_RATE_COMBO, 149, 80, {"11.025 kHz", "22.05 kHz", "44.1 kHz"}, 2);

    AddToolbarCombo(ID_DEVICE_COMBO, 481, 5, 200, 20);
    WindowRef devices = FindSelector(ID_DEVICE_COMBO);
    ListInputDevices(devices);
    ListSelect(devices, 0);   // selects nothing when the list is empty

    left_scope_frame = CreateSunkenFrame(program.main_window_handle, ID_LEFT_SCOPE_FRAME, 0, 0, 0, 0);
    right_scope_frame = CreateSunkenFrame(program.main_window_handle, ID_RIGHT_SCOPE_FRAME, 0, 0, 0, 0);

    callback_installed = true;
    LayoutScopes();
    return true;
}

void ApplyDefaultSettings() {
    program.capture_format.nChannels = 2;
    program.capture_format.nSamplesPerSec = 44100;
    program.capture_format.wBitsPerSample = 16;
    program.buffer_bytes = 512;
    program.buffer_count = 8;
    program.device_index = 0;
    program.tick_ms = 32;

    ListSelect(FindSelector(ID_DEVICE_COMBO), program.device_index);
    ListSelect(FindSelector(ID_CHANNELS_COMBO), program.capture_format.nChannels - 1);
    switch (program.capture_format.nSamplesPerSec) {
        case 11025: ListSelect(FindSelector(ID_RATE_COMBO), 0); break;
        case 22050: ListSelect(FindSelector(ID_RATE_COMBO), 1); break;
        case 44100: ListSelect(FindSelector(ID_RATE_COMBO), 2); break;
        default: break;
    }
    switch (program.capture_format.wBitsPerSample) {
        case 8: ListSelect(FindSelector(ID_BITS_COMBO), 0); break;
        case 16: ListSelect(FindSelector(ID_BITS_COMBO), 1); break;
        default: break;
    }

    // The callback is installed by now, so the minimum size it reports applies here.
    WindowPlacementRecord placement = {};
    placement.length = sizeof(WindowPlacementRecord);
    placement.flags = 0;
    placement.show_command = SW_HIDE;
    placement.min_position = {-1, -1};
    placement.max_position = {-1, -1};
    placement.normal_position = {50, 100, 800, 720};
    PlaceWindow(program.main_window_handle, &placement);
    ShowWindowAs(program.main_window_handle, SW_SHOWNORMAL);
}

void LayoutScopes() {
    ScopeChannel& left = program.scope_left;
    left.x = 38;
    left.y = 50;
    left.width = 340;
    left.height = 225;
    left.centre_y = left.y + left.height / 2;
    if (left_scope_frame) MoveControl(left_scope_frame, left.x - 2, left.y - 2, left.width + 4, left.height + 4);

    ScopeChannel& right = program.scope_right;
    right.x = 38;
    right.y = left.y + left.height + 30;
    right.width = 340;
    right.height = 225;
    right.centre_y = right.y + right.height / 2;
    if (right_scope_frame) MoveControl(right_scope_frame, right.x - 2, right.y - 2, right.width + 4, right.height + 4);
}

intptr_t PLATFORM_CALLBACK MainWindowCallback(WindowRef window, uint32_t message, uintptr_t wparam,
                                              intptr_t lparam) {
    switch (message) {
        case WM_KEYDOWN:
            // Any key-down that reaches the main window while Escape is down, or after it
            // was pressed, ends the program; the key code itself is not looked at.
            if (QueryAsyncKeyState(VK_ESCAPE) != 0) program.quit_requested = 1;
            break;
        case WM_SIZE:
            LayoutScopes();
            break;
        case WM_TIMER:
            RefreshDisplays();
            break;
        case MM_WIM_DATA:
            HandleFilledBuffer(reinterpret_cast<WaveInHandle>(wparam),
                               reinterpret_cast<WaveHeader*>(lparam));
            break;
        case WM_COMMAND: {
            // Every notification of a selector restarts capture, whatever its code; the
            // notifications of one list action, and a burst of them, make one restart.
            const int id = (int)(wparam & 0xFFFF);
            const int code = (int)((wparam >> 16) & 0xFFFF);
            if (id == ID_DEVICE_COMBO && (code == CBN_SELCHANGE || code == CBN_SELENDOK)) NoteChosenDevice();
            if (id >= ID_CHANNELS_COMBO && id <= ID_DEVICE_COMBO) RequestCaptureRestart();
            break;
        }
        case CAPTURE_RESTART_MSG:
            RunRequestedRestart();
            break;
        case WM_DEVICECHANGE:
            // Input devices came or went: the list is read again.
            RebuildDeviceList();
            break;
        case WM_GETMINMAXINFO: {
            MinMaxInfo* info = reinterpret_cast<MinMaxInfo*>(lparam);
            if (info) info->min_track_size = {800, 720};
            break;
        }
        default:
            break;
    }
    return 0;
}

intptr_t PLATFORM_CALLBACK MainWindowProc(WindowRef window, uint32_t message, uintptr_t wparam,
                                          intptr_t lparam) {
    if (message == WM_SIZE && program.toolbar_handle) ToolbarAutosize(program.toolbar_handle);
    if (callback_installed) MainWindowCallback(window, message, wparam, lparam);
    if (message == WM_CLOSE) {
        // A close request only ends the event loop; the clean-up destroys the window.
        close_requested = true;
        return 0;
    }
    return DefaultWindowProcedure(window, message, wparam, lparam);
}

bool MainWindowCloseRequested() { return close_requested; }

void ForgetMainControls() {
    callback_installed = false;
    // A later start in the same process (the scenario tests run many) begins without one.
    close_requested = false;
    left_scope_frame = nullptr;
    right_scope_frame = nullptr;
}
