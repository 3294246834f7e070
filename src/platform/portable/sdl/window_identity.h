// SDL2 presenter: the window class and icon that tie korvelt's window to its desktop entry
// (window_identity.cpp).
#pragma once

// Names the window class; call before SDL_Init.
void PrepareWindowIdentity();
// Sets the program's icon on every window when it is first shown; call after SDL_Init.
void WatchWindowsForIcon();
