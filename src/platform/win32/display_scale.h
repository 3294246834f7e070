// The whole number by which the win32 backend shows the program's pixels on a high-DPI
// desktop, and the arithmetic behind it. Nothing of the system is needed to read it, so the
// tests can ask for a scale and check the sums.
#pragma once

// Screen pixels per program pixel (each program pixel an N x N block). Decided once, when the
// first main window is made, from the dpi of the monitor it opens on; changed only when the
// window moves to a monitor of another whole-number scale.
int DisplayScale();

// The scale for a monitor of `dpi`: dpi / 96 when that is a whole number from 1 to 8, else 0
// (no whole-number scale: the program stays DPI-unaware and the system scales it).
int WholeScaleForDpi(int dpi);

// The outer size of a frame at `scale` that stands for `frame` (an outer size at scale 1):
// the client area that frame leaves at 96 dpi (`frame` less `edges_96`, the frame's width and
// height of borders and caption at 96 dpi) taken `scale` times, plus the borders and caption
// at the window's own dpi (`edges`). Its inverse gives what a frame on the screen stands for.
void FrameSizeAtScale(int scale, int frame_width, int frame_height, int edges_96_width, int edges_96_height,
                      int edges_width, int edges_height, int* width, int* height);
void FrameSizeOfScale(int scale, int width, int height, int edges_96_width, int edges_96_height, int edges_width,
                      int edges_height, int* frame_width, int* frame_height);

// Tests: windows made from now on are shown at `scale` (1 .. 8), whatever the monitor says,
// and a process that has not decided yet decides no more. Call it while no main window exists.
void UseDisplayScaleForTests(int scale);
