// The seam between korvelt and the system it runs on: windows, controls, the message
// queue, timers, fonts, images, 2D drawing and wave input, in the program's own terms.
// Implemented by win32/ (USER32, COMCTL32, GDI, WinMM) and by portable/ (software raster
// and window emulation, with sdl/ or headless/ underneath). Application code includes
// this header and the C++ standard library, nothing else of the system.
//
// Rules shared by both backends:
//  - Everything here is for the GUI thread only, except PostWindowMessage (any thread).
//  - Coordinates are pixels, y downwards. Colours are 0x00BBGGRR.
//  - Message numbers are the Win32 ones; a Win32 name below is defined only when the
//    system headers have not defined it already (same value either way).
//  - Seam procedures never take a name that <windows.h> already uses.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define PLATFORM_CALLBACK __stdcall
#else
#define PLATFORM_CALLBACK
#endif

// ---------------------------------------------------------------------------------------
// Handles and small records
// ---------------------------------------------------------------------------------------

typedef struct PlatformWindow* WindowRef;   // a top-level window or a control (HWND on Windows)
typedef struct PlatformFont* FontRef;       // a font object (HFONT on Windows)
typedef struct PlatformImage* ImageRef;     // a 24- or 32-bit image (DIB section on Windows)
typedef struct PlatformWaveIn* WaveInHandle; // an open wave-input device (HWAVEIN on Windows)

typedef uint32_t Colour;                    // 0x00BBGGRR

constexpr Colour MakeColour(int r, int g, int b) {
    return (uint32_t)(r & 255) | ((uint32_t)(g & 255) << 8) | ((uint32_t)(b & 255) << 16);
}
constexpr int ColourRed(Colour c) { return (int)(c & 255); }
constexpr int ColourGreen(Colour c) { return (int)((c >> 8) & 255); }
constexpr int ColourBlue(Colour c) { return (int)((c >> 16) & 255); }

// Same layout as Win32 POINT, RECT, MINMAXINFO and WINDOWPLACEMENT (44 bytes).
struct PointI { int32_t x, y; };
struct RectI { int32_t left, top, right, bottom; };
struct MinMaxInfo {
    PointI reserved;
    PointI max_size;
    PointI max_position;
    PointI min_track_size;
    PointI max_track_size;
};
struct WindowPlacementRecord {
    uint32_t length;        // 44
    uint32_t flags;
    uint32_t show_command;  // SW_...
    PointI min_position;
    PointI max_position;
    RectI normal_position;  // screen coordinates of the outer frame
};

// Window procedure: (window, message, wParam, lParam) -> result. Same ABI as WNDPROC.
typedef intptr_t(PLATFORM_CALLBACK* WindowProcedure)(WindowRef window, uint32_t message,
                                                     uintptr_t wparam, intptr_t lparam);

// ---------------------------------------------------------------------------------------
// Win32 numbers the program uses
// ---------------------------------------------------------------------------------------

#ifndef WM_SIZE
#define WM_SIZE 0x0005
#endif
#ifndef WM_PAINT
#define WM_PAINT 0x000F
#endif
#ifndef WM_CLOSE
#define WM_CLOSE 0x0010
#endif
#ifndef WM_GETMINMAXINFO
#define WM_GETMINMAXINFO 0x0024
#endif
#ifndef WM_KEYDOWN
#define WM_KEYDOWN 0x0100
#endif
#ifndef WM_KEYUP
#define WM_KEYUP 0x0101
#endif
#ifndef WM_COMMAND
#define WM_COMMAND 0x0111
#endif
#ifndef WM_TIMER
#define WM_TIMER 0x0113
#endif
#ifndef WM_LBUTTONDOWN
#define WM_LBUTTONDOWN 0x0201
#endif
#ifndef WM_LBUTTONUP
#define WM_LBUTTONUP 0x0202
#endif
#ifndef WM_DEVICECHANGE
#define WM_DEVICECHANGE 0x0219
#endif
#ifndef WM_USER
#define WM_USER 0x0400
#endif
#ifndef MM_WIM_OPEN
#define MM_WIM_OPEN 0x03BE
#endif
#ifndef MM_WIM_CLOSE
#define MM_WIM_CLOSE 0x03BF
#endif
#ifndef MM_WIM_DATA
#define MM_WIM_DATA 0x03C0
#endif

#ifndef VK_ESCAPE
#define VK_ESCAPE 0x1B
#endif
#ifndef VK_RETURN
#define VK_RETURN 0x0D
#endif
#ifndef VK_SPACE
#define VK_SPACE 0x20
#endif
#ifndef VK_UP
#define VK_UP 0x26
#endif
#ifndef VK_DOWN
#define VK_DOWN 0x28
#endif

#ifndef SW_HIDE
#define SW_HIDE 0
#endif
#ifndef SW_SHOWNORMAL
#define SW_SHOWNORMAL 1
#endif

#ifndef WS_CAPTION
#define WS_CAPTION 0x00C00000L
#endif
#ifndef WS_SYSMENU
#define WS_SYSMENU 0x00080000L
#endif

// Combo box notifications (high word of wParam in WM_COMMAND).
#ifndef CBN_SELCHANGE
#define CBN_SELCHANGE 1
#endif
#ifndef CBN_SETFOCUS
#define CBN_SETFOCUS 3
#endif
#ifndef CBN_KILLFOCUS
#define CBN_KILLFOCUS 4
#endif
#ifndef CBN_DROPDOWN
#define CBN_DROPDOWN 7
#endif
#ifndef CBN_CLOSEUP
#define CBN_CLOSEUP 8
#endif
#ifndef CBN_SELENDOK
#define CBN_SELENDOK 9
#endif
#ifndef CBN_SELENDCANCEL
#define CBN_SELENDCANCEL 10
#endif

// Wave input.
#ifndef WAVE_FORMAT_PCM
#define WAVE_FORMAT_PCM 1
#endif
#ifndef WAVE_MAPPER
#define WAVE_MAPPER ((uint32_t)-1)
#endif
#ifndef CALLBACK_WINDOW
#define CALLBACK_WINDOW 0x00010000L
#endif
#ifndef WAVE_FORMAT_DIRECT
#define WAVE_FORMAT_DIRECT 0x0008
#endif
#ifndef WHDR_DONE
#define WHDR_DONE 0x00000001
#endif
#ifndef WHDR_PREPARED
#define WHDR_PREPARED 0x00000002
#endif
#ifndef WHDR_INQUEUE
#define WHDR_INQUEUE 0x00000010
#endif
#ifndef MMSYSERR_NOERROR
#define MMSYSERR_NOERROR 0
#endif
#ifndef MMSYSERR_ERROR
#define MMSYSERR_ERROR 1
#endif
#ifndef MMSYSERR_BADDEVICEID
#define MMSYSERR_BADDEVICEID 2
#endif
#ifndef MMSYSERR_ALLOCATED
#define MMSYSERR_ALLOCATED 4
#endif
#ifndef MMSYSERR_INVALHANDLE
#define MMSYSERR_INVALHANDLE 5
#endif
#ifndef MMSYSERR_NODRIVER
#define MMSYSERR_NODRIVER 6
#endif
#ifndef MMSYSERR_HANDLEBUSY
#define MMSYSERR_HANDLEBUSY 12
#endif
#ifndef MMSYSERR_INVALPARAM
#define MMSYSERR_INVALPARAM 11
#endif
#ifndef WAVERR_BADFORMAT
#define WAVERR_BADFORMAT 32
#endif
#ifndef WAVERR_STILLPLAYING
#define WAVERR_STILLPLAYING 33
#endif
#ifndef WAVERR_UNPREPARED
#define WAVERR_UNPREPARED 34
#endif

// ---------------------------------------------------------------------------------------
// Wave-input records: byte for byte WAVEFORMATEX, WAVEHDR and WAVEINCAPSA
// ---------------------------------------------------------------------------------------

#pragma pack(push, 1)
struct WaveFormat {             // WAVEFORMATEX, 18 bytes
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
struct WaveHeader {             // WAVEHDR: 48 bytes on x86-64, 32 on i386
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    uint32_t dwLoops;
    WaveHeader* lpNext;
    uintptr_t reserved;
};
struct WaveInCaps {             // WAVEINCAPSA, 48 bytes
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vDriverVersion;
    char szPname[32];
    uint32_t dwFormats;
    uint16_t wChannels;
    uint16_t wReserved1;
};
#pragma pack(pop)
static_assert(sizeof(WaveFormat) == 18, "WaveFormat must match WAVEFORMATEX");
static_assert(sizeof(WaveHeader) == (sizeof(void*) == 8 ? 48 : 32), "WaveHeader must match WAVEHDR");
static_assert(sizeof(WaveInCaps) == 48, "WaveInCaps must match WAVEINCAPSA");
static_assert(sizeof(WindowPlacementRecord) == 44, "WindowPlacementRecord must match WINDOWPLACEMENT");

// ---------------------------------------------------------------------------------------
// Program entry
// ---------------------------------------------------------------------------------------

// Implemented by the application; the backend's own entry point (main / WinMain) calls it
// once and returns its result as the process exit code.
int ApplicationMain();

// Initialises the system's common controls (toolbar and drop-down list classes).
void InitControlLibrary();

// ---------------------------------------------------------------------------------------
// Windows and controls
// ---------------------------------------------------------------------------------------

// Creates a top-level window whose client area is client_width x client_height, its outer
// frame computed for `style` (no menu, no extended style) and placed at (x, y) on screen.
// It carries the program's icon (resource 1) and the arrow cursor, uses `procedure`, and is
// shown normal. Null on failure.
WindowRef CreateMainWindow(const char* title, int x, int y, int client_width, int client_height,
                           uint32_t style, WindowProcedure procedure);
// Sets the colour the window's background is erased with and repaints the window with it.
void SetWindowBackground(WindowRef window, Colour colour);
// Destroys a window and all of its children.
void DestroyWindowTree(WindowRef window);
// The outer frame in screen coordinates, and the client area's size.
bool GetWindowFrame(WindowRef window, RectI* frame);
bool GetClientSize(WindowRef window, int* width, int* height);
// SetWindowPlacement with the 44-byte record; ShowWindow with an SW_ command.
bool PlaceWindow(WindowRef window, const WindowPlacementRecord* placement);
void ShowWindowAs(WindowRef window, int show_command);
bool IsWindowShown(WindowRef window);
// Moves and resizes a child (parent client coordinates), repainting it and what it uncovers.
void MoveControl(WindowRef control, int x, int y, int width, int height);
// A child's rectangle in its parent's client coordinates.
bool GetControlRect(WindowRef control, RectI* rect);
void ShowControl(WindowRef control, bool visible);
bool IsControlVisible(WindowRef control);
// Control identifier (the number WM_COMMAND reports), and a child found by identifier.
int GetControlId(WindowRef control);
WindowRef FindControl(WindowRef parent, int id);
WindowRef GetParentWindow(WindowRef window);
// Keyboard focus.
void SetKeyboardFocus(WindowRef window);
WindowRef GetKeyboardFocus();

// Toolbar: flat, with tooltips, along the top edge of `parent`, no buttons. Null on failure.
WindowRef MakeToolbar(WindowRef parent);
int ToolbarButtonCount(WindowRef toolbar);
// Inserts a disabled plain button with no text at `index`, showing image `image_index`.
void ToolbarInsertBlankButton(WindowRef toolbar, int index, int image_index);
bool ToolbarItemRect(WindowRef toolbar, int index, RectI* rect);
// Re-fits the toolbar to its parent's top edge (TB_AUTOSIZE).
void ToolbarAutosize(WindowRef toolbar);

// Drop-down list (CBS_DROPDOWNLIST, vertical scroll bar, tab stop, border, default GUI font).
// `height` is the closed height; the open list is 350 pixels tall. Controls made with a
// toolbar as parent send their WM_COMMAND notifications on through the toolbar to its parent.
WindowRef CreateDropDownList(WindowRef parent, int id, int x, int y, int width, int height);
int ListAddItem(WindowRef list, const char* text);     // returns the new item's index
void ListSetItemData(WindowRef list, int index, intptr_t data);
intptr_t ListGetItemData(WindowRef list, int index);
int ListItemCount(WindowRef list);
// Copies item `index`'s text (NUL-terminated, cut to size); false when there is no such item.
bool ListGetItemText(WindowRef list, int index, char* text, int size);
void ListSelect(WindowRef list, int index);            // -1 clears the selection
int ListSelection(WindowRef list);                      // -1 when nothing is selected
// Removes every item (CB_RESETCONTENT); nothing is selected afterwards and no one is told.
void ListClear(WindowRef list);

// Static control with an empty text, a sunken 2-pixel edge and no painting inside it.
WindowRef CreateSunkenFrame(WindowRef parent, int id, int x, int y, int width, int height);

// Canvas: a child with a sunken 2-pixel client edge and its own backing bitmap of the inner
// size, shown whenever drawing on it ends. id -1 asks for a fresh identifier.
WindowRef CreateCanvas(WindowRef parent, int id, int x, int y, int width, int height);

// Image control with a sunken 2-pixel edge; shows its image at its top-left inner corner.
// Setting an image sizes the control to the image plus the edge and repaints it at once.
// id -1 asks for a fresh identifier.
WindowRef CreateImageControl(WindowRef parent, int id, int x, int y, int width, int height);
void SetControlImage(WindowRef control, ImageRef image);

// Window procedures, subclassing, properties and user data.
WindowProcedure ReplaceWindowProcedure(WindowRef window, WindowProcedure procedure);
intptr_t CallWindowProcedure(WindowProcedure procedure, WindowRef window, uint32_t message,
                             uintptr_t wparam, intptr_t lparam);
intptr_t DefaultWindowProcedure(WindowRef window, uint32_t message, uintptr_t wparam,
                                intptr_t lparam);
void SetWindowProperty(WindowRef window, const char* name, void* value);
void* GetWindowProperty(WindowRef window, const char* name);
void* RemoveWindowProperty(WindowRef window, const char* name);
void SetWindowUserData(WindowRef window, intptr_t data);
intptr_t GetWindowUserData(WindowRef window);

// ---------------------------------------------------------------------------------------
// Messages, timers, keys
// ---------------------------------------------------------------------------------------

intptr_t SendWindowMessage(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam);
// The one call that is safe from any thread.
bool PostWindowMessage(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam);
// Blocks until a message is available, then translates and dispatches it. Posted messages
// come first; WM_TIMER is made only when nothing else is queued and a timer is due, and a
// timer never has more than one pending. Returns false only when the queue is gone for good
// (the process is being torn down).
bool WaitAndDispatchMessage();
// Takes one pending message without waiting and dispatches it; false when none was pending.
bool PumpOneMessage();
void StartWindowTimer(WindowRef window, uintptr_t id, uint32_t period_ms);
void StopWindowTimer(WindowRef window, uintptr_t id);
// Monotonic time in microseconds from an arbitrary start; never goes back. The headless
// backend's virtual clock drives it in tests.
uint64_t MonotonicMicros();
// GetAsyncKeyState: bit 15 set while the key is down, bit 0 set when it was pressed since
// the previous query of this key.
int16_t QueryAsyncKeyState(int virtual_key);

// ---------------------------------------------------------------------------------------
// Fonts and images
// ---------------------------------------------------------------------------------------

// Character height -MulDiv(points, display dpi, 72), weight 400 or 700, default everything
// else. Null on failure.
FontRef MakeFont(const char* face, int points, int weight);
void ReleaseFont(FontRef font);
// depth 24 (black) or 32 (opaque black). Null on failure.
ImageRef CreateImage(int width, int height, int depth);
void ReleaseImage(ImageRef image);
int ImageWidth(ImageRef image);
int ImageHeight(ImageRef image);

// ---------------------------------------------------------------------------------------
// Drawing. One drawing pass at a time: Begin... opens it on a target, EndDrawing closes it.
// All operations below draw on the open target and do nothing when none is open.
// ---------------------------------------------------------------------------------------

bool BeginDrawingWindow(WindowRef window);   // the client area, children not clipped
bool BeginDrawingCanvas(WindowRef canvas);   // the canvas's backing bitmap (inner size)
bool BeginDrawingImage(ImageRef image);
void EndDrawing();
bool IsDrawing();
int DrawingWidth();
int DrawingHeight();

enum DrawingMode {
    DRAWMODE_DEFAULT = 0,       // plain fills; text drawn on a box of the back colour
    DRAWMODE_TRANSPARENT = 1,   // text drawn without its background
    DRAWMODE_GRADIENT = 2,      // filled boxes take the linear gradient
};
void SetDrawingMode(int mode);
void SetFrontColour(Colour colour);
void SetBackColour(Colour colour);
// Gradient for DRAWMODE_GRADIENT: each pixel = front * f + back * (1 - f), f the pixel's
// position projected on the line (x1, y1) -> (x2, y2), 0 at the first point, clamped 0..1.
void SetLinearGradient(int x1, int y1, int x2, int y2);

void FillBox(int x, int y, int width, int height, Colour colour);      // x .. x + width - 1
// Each radius limited to half the box's extent in its direction.
void FillRoundBox(int x, int y, int width, int height, int radius_x, int radius_y, Colour colour);
// From (x, y) to (x + width - 1, y + height - 1) in the front colour; nothing if either is 0.
void DrawExtentLine(int x, int y, int width, int height);
// Both end points included; the front colour is left alone.
void DrawLineBetween(int x1, int y1, int x2, int y2, Colour colour);
// A line from each of `count` points to the next, exactly as DrawLineBetween would draw each.
void DrawLinesBetween(const PointI* points, int count, Colour colour);
void FillDisc(int x, int y, int radius, Colour colour);
void UseFont(FontRef font);
// Text with its top-left corner at (x, y).
void DrawTextAt(int x, int y, const char* text, Colour colour);
void DrawTextInFront(int x, int y, const char* text);
// Rotated by `degrees` (counter-clockwise positive) about its top-left corner.
void DrawRotatedText(int x, int y, const char* text, double degrees, Colour colour);
int TextWidth(const char* text);
int TextHeight(const char* text);
// Fills the area around (x, y) bounded by `border` with `fill`.
void FloodFillTo(int x, int y, Colour border, Colour fill);
Colour ReadPixel(int x, int y);
void WritePixel(int x, int y, Colour colour);
// ReadPixel / WritePixel for each of `count` points, in order.
void ReadPixels(const PointI* points, int count, Colour* colours);
void WritePixels(const PointI* points, const Colour* colours, int count);
void DrawImagePlain(ImageRef image, int x, int y);
// Moves the pixels of the box (x, y, width, height) of the target by (dx, dy), as a copy of
// the target onto itself (ScrollDC): what the box leaves uncovered keeps its pixels.
void ScrollDrawnArea(int x, int y, int width, int height, int dx, int dy);
void DrawImageAlpha(ImageRef image, int x, int y);   // honours a 32-bit image's alpha

// ---------------------------------------------------------------------------------------
// Wave input, with WinMM's calls and meanings (results are MMSYSERR_ / WAVERR_ codes)
// ---------------------------------------------------------------------------------------

uint32_t WaveInGetNumDevs();
uint32_t WaveInGetDevCaps(uintptr_t device_id, WaveInCaps* caps, uint32_t size);
// With CALLBACK_WINDOW, MM_WIM_OPEN / MM_WIM_DATA / MM_WIM_CLOSE are posted to `callback`
// (a WindowRef): MM_WIM_DATA with wParam = the device handle, lParam = the WaveHeader.
uint32_t WaveInOpen(WaveInHandle* handle, uint32_t device_id, const WaveFormat* format,
                    uintptr_t callback, uintptr_t instance, uint32_t flags);
uint32_t WaveInPrepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size);
uint32_t WaveInAddBuffer(WaveInHandle handle, WaveHeader* header, uint32_t size);
uint32_t WaveInStart(WaveInHandle handle);
uint32_t WaveInReset(WaveInHandle handle);
uint32_t WaveInStop(WaveInHandle handle);
uint32_t WaveInUnprepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size);
uint32_t WaveInClose(WaveInHandle handle);
