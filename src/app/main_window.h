// Main window, its toolbar with the four selectors, the scope frames and layout, and the
// message callback that turns window messages into program actions.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int ID_LEFT_SCOPE_FRAME = 0;
constexpr int ID_RIGHT_SCOPE_FRAME = 1;
constexpr int ID_CHANNELS_COMBO = 6;
constexpr int ID_BITS_COMBO = 7;
constexpr int ID_RATE_COMBO = 8;
constexpr int ID_DEVICE_COMBO = 9;

constexpr uint32_t MAIN_WINDOW_STYLE = WS_CAPTION | WS_SYSMENU;   // 0x00C80000
constexpr int MAIN_CLIENT_WIDTH = 800;
constexpr int MAIN_CLIENT_HEIGHT = 720;
constexpr int MAIN_FRAME_X = 50;
constexpr int MAIN_FRAME_Y = 100;
constexpr Colour MAIN_BACKGROUND = MakeColour(18, 24, 50);

// The title tells the 64-bit and the 32-bit build apart.
const char* MainWindowTitle();
// Creates the main window, shown, with its background colour. Null on failure.
WindowRef CreateProgramWindow();
// Toolbar, selectors, frames, the window callback and the scope layout. False only when
// the toolbar cannot be created.
bool CreateMainControls();
// One drop-down list in the toolbar, placed after a new blank button.
void AddToolbarCombo(int id, int x, int y, int width, int height);
// Capture and tick defaults, the selectors to match, then the window's placement and show.
void ApplyDefaultSettings();
// Fixed geometry of the two scope boxes and their frames.
void LayoutScopes();
// The selector with control id `id` (6 .. 9), or null.
WindowRef FindSelector(int id);
// Acts on Escape, WM_SIZE, WM_TIMER, MM_WIM_DATA, selector commands (a restart, made by the
// CAPTURE_RESTART_MSG it posts), WM_DEVICECHANGE and the minimum size.
intptr_t PLATFORM_CALLBACK MainWindowCallback(WindowRef window, uint32_t message,
                                              uintptr_t wparam, intptr_t lparam);
// The main window's own processing around the callback: toolbar fit, close request,
// default handling.
intptr_t PLATFORM_CALLBACK MainWindowProc(WindowRef window, uint32_t message, uintptr_t wparam,
                                          intptr_t lparam);
// True once a close request (WM_CLOSE) reached the main window; it ends the event loop.
bool MainWindowCloseRequested();
// Forgets the window's handles at clean-up.
void ForgetMainControls();
