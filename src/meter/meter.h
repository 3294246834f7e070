// Needle meter control: the registry of meters, the per-meter record, the pre-rendered
// face, and the value update with averaging, the anti-aliased needle and the PEAK lamp.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

constexpr intptr_t STYLE_DB_SCALE = 1;        // dB scale (+3 .. -30); clear: linear 0 .. 10
constexpr intptr_t STYLE_PEAK_LAMP = 2;       // face has a PEAK lamp that updates light
constexpr intptr_t NEEDLE_SHAPE_MASK = 12;
constexpr intptr_t NEEDLE_WEDGE = 0;
constexpr intptr_t NEEDLE_SMOOTH = 4;
constexpr intptr_t NEEDLE_OUTLINE = 8;
constexpr intptr_t NEEDLE_WEDGE_SMOOTH = 12;
constexpr int METER_MIN_WIDTH = 150;          // canvas width
constexpr intptr_t PEAK_HOLD_UPDATES = 8;     // updates the lamp stays lit after full scale
constexpr int AVERAGE_MAX = 128;              // largest averaging window

// One needle meter. Integers are pointer-width, as the record is laid out in both builds.
// What a meter's canvas shows, as last drawn by SetMeterValue (canvas null: nothing known).
struct MeterDrawn {
    WindowRef canvas;              // the canvas drawn on
    uint32_t face_version;         // MeterRecord::face_version of the face laid down
    int tip_x, tip_y;              // needle tip
    int spread;                    // wedge half-width at the tip
    bool lamp_lit;                 // PEAK lamp drawn lit
};

struct MeterRecord {
    intptr_t inner_width;          // canvas width - 4: drawing area inside the sunken border
    intptr_t inner_height;         // canvas height - 4
    intptr_t style;                // STYLE_ / NEEDLE_ flags, 0 .. 15
    float value;                   // last input after clamping, before averaging
    FontRef font_large;            // caption and sign font
    Colour accent_colour;          // caption, "PEAK" and 0 .. 10 scale numbers
    FontRef font_small;            // scale numbers and "PEAK"
    Colour scale_colour;           // arc and tick marks
    std::string label;             // caption in the middle of the face; empty = none
    Colour face_top_colour;        // face gradient, top edge
    Colour face_shade_2;           // palette copy, not read
    Colour face_shade_3;           // palette copy, not read
    Colour face_bottom_colour;     // face gradient, bottom edge
    Colour needle_colour;          // needle and tip dot; the disc above the pivot uses it XOR 1
    Colour black_colour;           // palette copy, not read
    intptr_t peak_hold;            // updates for which the PEAK lamp stays lit
    intptr_t lamp_radius;          // inner_width / 40
    intptr_t lamp_x;               // inner_width - 3 * lamp_radius - 13
    intptr_t lamp_y;               // rint(inner_height - inner_height * 0.35 - lamp_radius * 2.0)
    intptr_t average_length;       // moving-average window, 0 = off, else a power of two
    float average_history[AVERAGE_MAX];  // ring buffer of recent clamped inputs
    uint8_t history_index;         // write counter of the ring buffer, wraps at 256
    float average_sum;             // running total of the window, never recomputed
    intptr_t pivot_x;              // needle pivot x = inner_width / 2; pivot y is inner_height
    intptr_t scale_radius;         // radius of the scale arc and needle length
    ImageRef face_image;           // 32-bit, inner_width x inner_height: the rendered face
    ImageRef panel_image;          // 32-bit, inner_width x rint(inner_height * 0.2): cover plate
    uint32_t face_version;         // counts renderings of the face and plate (DrawMeterFace)
    MeterDrawn drawn;              // the canvas's picture, so an unchanged one is not redrawn
};

// Index the next meter takes; starts at 1 and is not cleared by the start-up.
extern intptr_t meter_count;

// Creates a meter canvas on the main window; control -1 assigns a new number. Returns the
// control number, or 0 when nothing was created (style outside 0 .. 15, canvas failed).
intptr_t CreateMeter(intptr_t control, int x, int y, int width, const char* label, intptr_t style);
// Renders the cover plate and the face image of meter `index` (called by CreateMeter).
void DrawMeterFace(intptr_t index);
// Clamps, averages and shows `value` (0 .. 100) on meter `control`. Always returns 0.
int SetMeterValue(intptr_t control, float value);
// Sets the averaging window to the nearest power of two (0 = off, at most 128). Returns 0.
int SetMeterAveraging(intptr_t control, intptr_t count);
// Coverage-based anti-aliased line of `width` with soft ends, on the current drawing target.
void DrawSmoothLine(int x1, int y1, int x2, int y2, Colour colour, int width);
// The same, leaving out the pixels from row `limit` down (which something opaque covers next).
void DrawSmoothLineAbove(int x1, int y1, int x2, int y2, Colour colour, int width, int limit);
// Per channel rint(c1 * f + c2 * (1 - f)).
Colour BlendColours(Colour c1, Colour c2, double f);
// Index of the meter shown by control number `control`, or 0 when it is not a meter.
intptr_t FindMeterIndex(intptr_t control);
// Angle in degrees (0 = straight up) of the face's mark for n dB, where SetMeterValue puts
// the needle for the input 100 / 10^0.15 * 10^(n / 20).
float DbMarkAngle(intptr_t n);
