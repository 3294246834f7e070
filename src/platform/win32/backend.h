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

// An image: a top-down DIB section, 24 or 32 bits a pixel, that GDI can draw into and that
// we can also address byte by byte.
struct PlatformImage {
    HBITMAP bitmap = nullptr;
    uint8_t* bits = nullptr;
    int width = 0;
    int height = 0;
    int depth = 0;           // 24 or 32
    int stride = 0;          // bytes a row, rows padded to 4 bytes
};

inline HWND AsHwnd(WindowRef window) { return reinterpret_cast<HWND>(window); }
inline WindowRef AsWindowRef(HWND window) { return reinterpret_cast<WindowRef>(window); }

// The instance of this program (for classes and resources).
HINSTANCE ProgramInstance();
// A control identifier nobody asked for: `id` itself, or a fresh one from 0x1000 up for -1.
int ResolveControlId(int id);
// The backing bitmap of a canvas; null for any other window.
PlatformImage* CanvasImage(HWND canvas);
// A new DIB-section image (black; 32-bit ones opaque). Null on failure.
PlatformImage* NewImage(int width, int height, int depth);
void DeleteImage(PlatformImage* image);
// Sets every alpha byte of a 32-bit image to 255; GDI leaves 0 behind wherever it draws.
void MakeImageOpaque(PlatformImage* image);
