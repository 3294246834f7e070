// Needle meter control: the registry of meters, creation of a meter canvas, and the
// pre-rendered face (scale arc, marks, lamp, caption) with its cover plate.
#include "meter/meter.h"

#include <cmath>
#include <string>

#include "app/state.h"

intptr_t meter_count = 1;

namespace {

constexpr double PI = 3.14159265358979323846;

constexpr Colour PLATE_BACK = MakeColour(9, 57, 9);
constexpr Colour PLATE_TOP = MakeColour(6, 73, 6);
constexpr Colour HUB_COLOUR = MakeColour(0, 0, 0);
constexpr Colour DB_NUMBER_COLOUR = MakeColour(0, 170, 0);
constexpr Colour MINUS_SIGN_COLOUR = MakeColour(0, 0, 0);
constexpr Colour PLUS_SIGN_COLOUR = MakeColour(255, 0, 0);
constexpr Colour LAMP_RIM_COLOUR = MakeColour(0, 0, 0);
constexpr Colour LAMP_OFF_COLOUR = MakeColour(128, 64, 64);
constexpr Colour MAKER_COLOUR = MakeColour(0, 138, 0);
constexpr const char* MAKER_NAME = "MARDELLIN";

// The dB marks, from the right end of the scale to the left.
constexpr int DB_MARKS[] = {3, 2, 1, 0, -1, -2, -3, -5, -10, -20, -30};

int RoundToInt(double v) { return (int)std::rint(v); }

// A point of the scale: `degrees` from straight up (positive to the right), `radius` from
// the pivot at (pivot_x, inner_height).
void ScalePoint(const MeterRecord& m, double degrees, double radius, int* x, int* y) {
    double r = degrees * PI / 180.0;
    *x = RoundToInt(std::sin(r) * radius + (double)m.pivot_x);
    *y = RoundToInt((double)m.inner_height - std::cos(r) * radius);
}

void DrawTick(const MeterRecord& m, double degrees) {
    int x1, y1, x2, y2;
    ScalePoint(m, degrees, (double)(m.scale_radius - 5), &x1, &y1);
    ScalePoint(m, degrees, (double)(m.scale_radius + 5), &x2, &y2);
    DrawLineBetween(x1, y1, x2, y2, m.scale_colour);
}

void DrawCoverPlate(const MeterRecord& m) {
    if (!m.panel_image || !BeginDrawingImage(m.panel_image)) return;
    int w = (int)m.inner_width, h = (int)m.inner_height;
    FillBox(0, 0, ImageWidth(m.panel_image), ImageHeight(m.panel_image), PLATE_BACK);
    // Taller than the plate on purpose: only its rounded top edge shows.
    FillRoundBox(0, 0, w, RoundToInt(h * 0.3), w / 6, w / 6, PLATE_TOP);
    EndDrawing();
}

// The scale arc as one polyline from -45 to +45 degrees. The angle is stepped in 32-bit
// floats and the last point is pinned to +45, so both ends sit exactly on the scale ends.
void DrawScaleArc(const MeterRecord& m) {
    const float step = 1000.0f / (float)m.inner_width;
    float a = -step - 45.0f;
    bool have_previous = false;
    int px = 0, py = 0;
    for (;;) {
        a = (float)(a + step);
        if (a > 45.0f) a = 45.0f;
        int x, y;
        ScalePoint(m, a, (double)m.scale_radius, &x, &y);
        // The first point only starts the polyline.
        if (a != -45.0f && have_previous) DrawLineBetween(px, py, x, y, m.scale_colour);
        px = x;
        py = y;
        have_previous = true;
        if (a >= 45.0f) break;
    }
}

void DrawDbMarks(const MeterRecord& m) {
    for (int n : DB_MARKS) {
        float a = DbMarkAngle(n);
        DrawTick(m, a);
        if (n != -30) {
            int x, y;
            ScalePoint(m, (float)(a - 1.0f), (double)(m.scale_radius + 22), &x, &y);
            std::string number = std::to_string(n < 0 ? -n : n);
            DrawRotatedText(x, y, number.c_str(), -(double)a, DB_NUMBER_COLOUR);
        }
    }
    UseFont(m.font_large);
    int h = (int)m.inner_height, w = (int)m.inner_width;
    DrawTextAt(10, RoundToInt(h * 0.4), "_", MINUS_SIGN_COLOUR);
    DrawTextAt(w - 15, RoundToInt(h * 0.4 + 5), "+", PLUS_SIGN_COLOUR);
}

void DrawLinearMarks(const MeterRecord& m) {
    for (int a = -45; a <= 45; a += 9) {
        DrawTick(m, a);
        UseFont(m.font_small);
        int x, y;
        ScalePoint(m, a - 1, (double)(m.scale_radius + 20), &x, &y);
        std::string number = std::to_string(RoundToInt(a / 9.0 + 5));
        DrawRotatedText(x, y, number.c_str(), -(double)a, m.accent_colour);
    }
}

void DrawFace(const MeterRecord& m) {
    if (!m.face_image || !BeginDrawingImage(m.face_image)) return;
    int w = (int)m.inner_width, h = (int)m.inner_height, cx = (int)m.pivot_x;

    SetDrawingMode(DRAWMODE_GRADIENT);
    SetBackColour(m.face_bottom_colour);
    SetFrontColour(m.face_top_colour);
    SetLinearGradient(0, h, 0, 0);
    FillBox(0, 0, w, h, m.face_top_colour);

    SetDrawingMode(DRAWMODE_TRANSPARENT);
    UseFont(m.font_small);

    FillDisc(cx, h, RoundToInt(w * 0.1), HUB_COLOUR);
    // Not quite the needle colour, so the wedge needle's flood fill can start inside it.
    FillDisc(cx, h - 10, 4, m.needle_colour ^ 1);

    DrawScaleArc(m);
    if (m.style & STYLE_DB_SCALE)
        DrawDbMarks(m);
    else
        DrawLinearMarks(m);

    if (m.style & STYLE_PEAK_LAMP) {
        FillDisc((int)m.lamp_x, (int)m.lamp_y, (int)m.lamp_radius + 2, LAMP_RIM_COLOUR);
        FillDisc((int)m.lamp_x, (int)m.lamp_y, (int)m.lamp_radius, LAMP_OFF_COLOUR);
        UseFont(m.font_small);
        DrawTextAt(w - 3 * (int)m.lamp_radius - 27, RoundToInt(h - h * 0.35), "PEAK",
                   m.accent_colour);
    }
    if (!m.label.empty()) {
        UseFont(m.font_large);
        SetFrontColour(m.accent_colour);
        const char* text = m.label.c_str();
        DrawTextInFront((w - TextWidth(text)) / 2, (h - TextHeight(text)) / 2, text);
    }
    // In whichever font was selected last.
    DrawTextAt(124, 125, MAKER_NAME, MAKER_COLOUR);
    EndDrawing();
}

}  // namespace

float DbMarkAngle(intptr_t n) {
    const float full = (float)(100.0 / std::pow(10.0, 0.15));
    return (float)(full * 0.9f * std::pow(10.0, (double)n / 20.0) - 45.0);
}

intptr_t FindMeterIndex(intptr_t control) {
    auto found = program.meter_index_by_control.find(std::to_string(control));
    if (found == program.meter_index_by_control.end()) return 0;
    intptr_t index = found->second;
    // A registry entry without a record would be a stale one; treat it as no meter.
    if (index <= 0 || (size_t)index >= program.meters.size()) return 0;
    return index;
}

intptr_t CreateMeter(intptr_t control, int x, int y, int width, const char* label, intptr_t style) {
    if (style < 0 || style > 15) return 0;
    if (width < METER_MIN_WIDTH) width = METER_MIN_WIDTH;
    int height = RoundToInt(width / 1.5);

    WindowRef canvas = CreateCanvas(program.main_window_handle, (int)control, x, y, width, height);
    if (!canvas) return 0;
    intptr_t result = GetControlId(canvas);
    control = result;

    if ((intptr_t)program.meters.size() < meter_count + 1) program.meters.resize(meter_count + 1);
    MeterRecord& m = program.meters[meter_count];
    m = MeterRecord{};
    m.inner_width = width - 4;
    m.inner_height = height - 4;
    m.style = style;
    m.face_top_colour = program.palette_face_top;
    m.face_shade_2 = program.palette_green_2;
    m.face_shade_3 = program.palette_green_3;
    m.face_bottom_colour = program.palette_face_bottom;
    m.font_large = program.font_large;
    m.accent_colour = program.palette_accent;
    m.font_small = program.font_small;
    m.scale_colour = program.palette_scale;
    m.needle_colour = program.palette_needle;
    m.black_colour = program.palette_black;
    m.average_length = 0;
    m.history_index = 0;
    m.average_sum = 0.0f;
    m.lamp_radius = m.inner_width / 40;
    m.lamp_x = m.inner_width - 3 * m.lamp_radius - 13;
    m.lamp_y = RoundToInt(m.inner_height - m.inner_height * 0.35 - m.lamp_radius * 2.0);
    m.label = label ? label : "";
    m.pivot_x = m.inner_width / 2;
    m.scale_radius = RoundToInt(width / (width + 50.0) * height);
    m.face_image = CreateImage((int)m.inner_width, (int)m.inner_height, 32);
    m.panel_image = CreateImage((int)m.inner_width, RoundToInt(m.inner_height * 0.2), 32);

    program.meter_index_by_control[std::to_string(control)] = meter_count;
    DrawMeterFace(meter_count);

    if (m.face_image && BeginDrawingCanvas(canvas)) {
        DrawImagePlain(m.face_image, 0, 0);
        EndDrawing();
    }
    SetMeterValue(control, 0.0f);
    ++meter_count;
    return result;
}

void DrawMeterFace(intptr_t index) {
    if (index <= 0 || (size_t)index >= program.meters.size()) return;
    MeterRecord& m = program.meters[index];
    ++m.face_version;
    DrawCoverPlate(m);
    DrawFace(m);
}
