// What the files of the win32 backend share among themselves: the system headers in the
// one order that works with the seam, the image record behind an ImageRef and the helpers
// that controls and drawing both need. Nothing here is seen by application code.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>
#include <mmsystem.h>

// The seam after the system headers: its Win32 numbers then defer to the real ones, and a
// seam name that clashes with a Windows name fails right here.
#include "platform/platform.h"
#include "platform/raster/dirty_rects.h"
#include "platform/raster/raster.h"
#include "platform/win32/display_scale.h"
#include "platform/win32/gdi_count.h"

#include <vector>

// Counts one GDI or USER painting call: GDI_CALL(BitBlt(...)). Each trip through GDI costs
// far more than the raster's work per pixel, so their number per tick is what we watch.
extern uint64_t gdi_calls;
#define GDI_CALL(call) (++gdi_calls, (call))

// An image: a top-down DIB section that controls and GDI can use. The raster draws on its
// 32-bit pixels: the section's own memory for a 32-bit image; for a 24-bit one a 32-bit copy
// in `shadow`, written back into the section's 24-bit rows when a drawing pass ends.
struct PlatformImage {
    HBITMAP bitmap = nullptr;
    uint8_t* bits = nullptr;
    int width = 0;
    int height = 0;
    int depth = 0;           // 24 or 32
    int stride = 0;          // bytes a row of the section, rows padded to 4 bytes
    std::vector<uint32_t> shadow;   // 24-bit images: the pixels the raster draws on
    // Canvas backings and window back buffers only (never an image a control may select):
    // a memory DC kept with the bitmap selected, for copies to the screen.
    HDC dc = nullptr;
    HGDIOBJ dc_old_bitmap = nullptr;
    // Canvas backings and window back buffers: the pixels last copied to the screen, so that
    // only what differs is copied again. Not valid until the first whole copy.
    std::vector<uint32_t> shown;
    bool shown_valid = false;
    // The same two, once drawn on in a pass: which tiles changed when (the raster stamps
    // them), and the newest stamp the screen has been given. Only tiles stamped since then
    // can differ from `shown`.
    ChangeMap changes;
    uint64_t shown_stamp = 0;

    bool Tracked() const { return changes.width == width && changes.height == height && depth == 32; }
    Surface View() {
        if (depth == 32) {
            Surface s{width, height, width, reinterpret_cast<uint32_t*>(bits)};
            if (Tracked()) s.changes = &changes;
            return s;
        }
        return Surface{width, height, width, shadow.data()};
    }
};

inline HWND AsHwnd(WindowRef window) { return reinterpret_cast<HWND>(window); }
inline WindowRef AsWindowRef(HWND window) { return reinterpret_cast<WindowRef>(window); }

// The instance of this program (for classes and resources).
HINSTANCE ProgramInstance();
// A control identifier nobody asked for: `id` itself, or a fresh one from 0x1000 up for -1.
int ResolveControlId(int id);
// A sunken frame: it paints its 2-pixel edge and never its inside.
bool IsSunkenFrame(HWND window);
// The backing bitmap of a canvas; null for any other window.
PlatformImage* CanvasImage(HWND canvas);
// A top-down DIB section of DEPTH bits per pixel, its pixels at *bits; null when none was made.
HBITMAP NewTopDownBitmap(int width, int height, int depth, void** bits);
// A new DIB-section image (black; 32-bit ones opaque). Null on failure.
PlatformImage* NewImage(int width, int height, int depth);
void DeleteImage(PlatformImage* image);
// True for an image made by NewImage and not yet deleted.
bool ImageAlive(PlatformImage* image);
// Writes a 24-bit image's raster pixels into its section (nothing for 32-bit images).
void SyncImageBits(PlatformImage* image);
// The memory DC kept with the image's bitmap selected (made on first use); freed with the image.
HDC KeptImageDC(PlatformImage* image);
// Copies `r` of a kept-DC image onto `dc` at the same place.
void CopyToScreen(HDC dc, PlatformImage* image, const RECT& r);
// Copies the image to the top-left corner of the window's client area on the screen.
void ShowImageOn(HWND window, PlatformImage* image);
// The screen shows `r` of the image now (it was painted from it).
void NoteShown(PlatformImage* image, const RECT& r);
// GdiFlush, but only when GDI may still hold work on memory the raster is about to touch.
void FlushGdiWork();
// GDI has used DIB memory (a control painted from an image): flush before the raster writes.
void NoteGdiWork();
// The image a control shows (SetControlImage); null for any other window.
PlatformImage* ControlImage(HWND control);
// Sizes a drop-down list's closed field until the control is `height` tall.
void FitClosedListHeight(HWND list, int height);
// Every window's back buffer copies all of itself to the screen again on its next pass.
void ForgetShownPixels();
// A window was made, moved, sized, shown, hidden or destroyed: what children cover changed.
void NoteLayoutChange();
// A drawing pass is open on `image`.
bool DrawingOnImage(PlatformImage* image);

// Window back buffers: what drawing on a top-level window draws into, shown on WM_PAINT.
// True (and the message handled) when `window` has one.
bool PaintFromBackBuffer(HWND window);
bool HasBackBuffer(HWND window);
// Paints the back buffer into a DC a child handed over with WM_ERASEBKGND (a transparent
// child asking its parent for what lies beneath it). False when there is no back buffer.
bool EraseFromBackBuffer(HWND window, HDC dc);
// Fills the whole back buffer with `colour`, making one when there is none.
void ResetBackBuffer(HWND window, COLORREF colour);
void ForgetBackBuffer(HWND window);

// Wave device calls that may wait on a frozen sound server run on a helper thread; the GUI
// thread waits for each at most this long (wavein.cpp). An open gets longer: it starts the
// driver's own thread and connects to the server, and one that fails at start-up is not tried
// again until sound has been seen.
constexpr uint32_t WAVE_CALL_BUDGET_MS = 300;
constexpr uint32_t WAVE_OPEN_BUDGET_MS = 600;
using WaveCall = uint32_t (*)(void* context);
// Told what a call returned after its caller had stopped waiting for it (on the helper thread).
using WaveLateResult = void (*)(void* context, uint32_t result);
// Runs `call` on the helper thread and waits at most `budget_ms` for its result. Answers
// MMSYSERR_HANDLEBUSY when it takes longer (it goes on; `late`, if any, gets its result) and,
// without running it, while an earlier call is still unfinished.
uint32_t RunBoundedWaveCall(WaveCall call, void* context, uint32_t budget_ms, WaveLateResult late);
// True while a wave device call that outlived its budget is still inside the driver.
bool WaveCallStuck();
// How many wave device calls have outlived their budget since the program started.
uint64_t LateWaveCallCount();

// ---------------------------------------------------------------------------------------
// High-DPI desktops (scale.cpp). At scale N every window and control is N times the size
// the program gave, the program is told sizes and positions divided by N, and its pixels
// reach the screen as N x N blocks. At scale 1 (96 dpi, or any dpi of no whole-number scale)
// nothing of this is in the way.
// ---------------------------------------------------------------------------------------

// Decides the scale from the monitor at (x, y), before the first window is made; the process
// becomes per-monitor DPI-aware when the scale is above 1. Once per process.
void DecideDisplayScale(int x, int y);
// Windows are made for scaling: the program's procedures behind ProgramProcedureThunk,
// sunken edges drawn by us.
bool ScalingActive();
// A rectangle of program pixels on the screen, and the program pixels a screen rectangle touches.
RECT ScreenRect(const RECT& r);
RECT ProgramRect(const RECT& r);
// The program pixels whose whole blocks lie inside a screen rectangle.
RECT ProgramRectInside(const RECT& r);
// A top level's outer frame: from the program's numbers to the screen's and back (frame
// sizes keep N times the client area the frame leaves at 96 dpi; positions scale about the
// monitor's corner).
void ScreenFrame(HWND window, RECT* frame);
void ProgramFrame(HWND window, RECT* frame);
// The outer frame (at 0, 0) of a main window whose client area is to be the program's
// client_width x client_height at the current scale; and making the client area exactly that
// once the window exists.
void MainFrameForClient(DWORD style, int client_width, int client_height, RECT* frame);
void FitMainClient(HWND window, int client_width, int client_height);

// The window procedure of the program's windows while scaling is active: the program's own
// procedure gets client sizes and mouse positions divided by N, and WM_GETMINMAXINFO in its
// own numbers; moves to a monitor of another dpi are handled here.
LRESULT CALLBACK ProgramProcedureThunk(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// The main window about to be made gets `procedure` (null once it exists).
void SetCreatingProcedure(WindowProcedure procedure);
void NoteProgramProcedure(WindowProcedure procedure);
bool IsProgramProcedure(WindowProcedure procedure);
// Puts `procedure` behind the thunk of `window`; returns the procedure it replaces.
WindowProcedure SwapProgramProcedure(HWND window, WindowProcedure procedure);
// The lParam the system gave for a message the program now hands on to the system.
LPARAM SystemLParam(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// A child's place in program pixels, for placing it again at another scale; a toolbar's
// button size and height at scale 1, and sizing its buttons so it is N times that.
void RememberPlace(HWND child, int x, int y, int width, int height);
void RememberToolbarButtons(HWND toolbar, int width, int height, int bar_height);
void SizeToolbarButtons(HWND toolbar);

// A child whose 2-pixel sunken edge we draw, N times as thick (made without WS_EX_CLIENTEDGE).
void UseOwnEdge(HWND window);
// WM_NCCALCSIZE and WM_NCPAINT of such a child; false for any other message or window.
bool HandleOwnEdge(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result);

// The GUI font of controls at the current scale, and the one the program draws with when it
// chose none: both from the system's GUI font, sized for 96 x N and 96 pixels to the inch.
HFONT ControlFont();
HFONT DrawingGuiFont();

// Copies `r` of `from` (program pixels) onto `dc` at N times its place, each pixel an N x N
// block, through a scratch section: one BitBlt for a rectangle of any usual size.
void EnlargeToScreen(HDC dc, const Surface& from, const RECT& r);
// GDI has finished with everything handed to it: the scratch section may be written again.
void ScratchFlushed();
