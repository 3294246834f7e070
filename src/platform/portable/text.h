// Text of the portable backend: fonts found through fontconfig ("Arial" resolves to a
// metric-compatible face), glyphs from FreeType, sized like a Windows font of character
// height -pixels (em size = pixels), drawn anti-aliased onto a raster surface.
#pragma once

#include "platform/raster/raster.h"

struct TextFont;

// pixel_height is the em size in pixels (MulDiv(points, dpi, 72)); weight 400 or 700.
// Null when no face can be found or loaded.
TextFont* OpenTextFont(const char* face, int pixel_height, int weight);
void CloseTextFont(TextFont* font);

// Advance width of `text` and the font's line height (ascent + descent), in pixels.
int MeasureTextWidth(TextFont* font, const char* text);
int FontLineHeight(TextFont* font);

// Draws `text` with its cell's top-left corner at (x, y), rotated by `degrees`
// (counter-clockwise positive) about that corner. When `background` is true the
// unrotated cell (advance width x line height) is first filled with `back`.
void DrawTextOnSurface(Surface& s, TextFont* font, int x, int y, const char* text,
                       double degrees, Colour colour, bool background, Colour back);
