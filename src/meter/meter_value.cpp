// Needle meter updates: value clamping and the moving average, the needle shapes, the PEAK
// lamp, and the coverage-based anti-aliased line the smooth needles are drawn with.
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "app/state.h"
#include "meter/meter.h"

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr Colour LAMP_ON_COLOUR = MakeColour(255, 0, 0);
// Partly covered pixels of a smooth line fade towards this pale green, whatever the line's
// own colour: it reads as a glow on the dark face.
constexpr Colour FRINGE_COLOUR = MakeColour(159, 240, 159);
constexpr int TIP_DOT_RADIUS = 2;
constexpr int SMOOTH_NEEDLE_WIDTH = 5;

MeterRecord* FindMeter(intptr_t control) {
    intptr_t index = FindMeterIndex(control);
    return index ? &program.meters[index] : nullptr;
}

// Two straight sides from the root to the tip, closed at the root and filled.
void DrawWedge(int rx, int ry, int tx, int ty, int spread, Colour k) {
    DrawLineBetween(rx - 4, ry, tx - spread, ty, k);
    DrawLineBetween(rx + 4, ry, tx + spread, ty, k);
    DrawLineBetween(rx - 4, ry, rx + 4, ry, k);
    FloodFillTo(rx, ry - 1, k, k ^ 1);
}

void DrawOutline(int rx, int ry, int tx, int ty, int spread, Colour k) {
    DrawSmoothLine(rx - 4, ry, tx - spread, ty, k, 1);
    DrawSmoothLine(rx + 4, ry, tx + spread, ty, k, 1);
}

// The wedge is one pixel wider at the tip when the needle leans far over, so it keeps its
// apparent thickness.
int NeedleSpread(float theta) { return (int)std::floor(1.35 - std::cos((double)theta) + 0.5) + 2; }

void DrawNeedle(const MeterRecord& m, int spread, int tx, int ty) {
    const Colour k = m.needle_colour;
    const int rx = (int)m.pivot_x, ry = (int)m.inner_height - 10;
    // The cover plate, copied over the whole width right after the needle (and opaque: it is
    // only ever filled with opaque colours), hides the needle's root; that part is not drawn.
    const int hidden_from = m.panel_image ? (int)m.inner_height - ImageHeight(m.panel_image) : INT_MAX;
    FillDisc(tx, ty, TIP_DOT_RADIUS, k);
    switch (m.style & NEEDLE_SHAPE_MASK) {
        case NEEDLE_WEDGE:
            DrawWedge(rx, ry, tx, ty, spread, k);
            break;
        case NEEDLE_SMOOTH:
            DrawSmoothLineAbove(rx, ry, tx, ty, k, SMOOTH_NEEDLE_WIDTH, hidden_from);
            break;
        case NEEDLE_OUTLINE:
            DrawOutline(rx, ry, tx, ty, spread, k);
            break;
        case NEEDLE_WEDGE_SMOOTH:
            DrawWedge(rx, ry, tx, ty, spread, k);
            DrawOutline(rx, ry, tx, ty, spread, k);
            break;
    }
}

}  // namespace

int SetMeterValue(intptr_t control, float value) {
    MeterRecord* found = FindMeter(control);
    if (!found) return 0;
    MeterRecord& m = *found;

    if (!(value >= 0.0f)) value = 0.0f;   // negative, minus infinity and NaN
    if (value >= 100.0f) {
        m.peak_hold = PEAK_HOLD_UPDATES;
        value = 100.0f;
    }
    m.value = value;

    if (m.average_length != 0) {
        // The window length divides 256, so the 8-bit counter may wrap freely.
        int slot = m.history_index & (int)(m.average_length - 1);
        m.average_sum = (float)(m.average_sum - m.average_history[slot]);
        m.average_history[slot] = value;
        m.average_sum = (float)(m.average_sum + value);
        m.history_index = (uint8_t)(m.history_index + 1);
        value = (float)(m.average_sum / (float)m.average_length);
    }

    const float theta = (float)((value * 0.9 - 45.0) * PI / 180.0);
    const int tx = (int)std::rint(std::sin((double)theta) * (double)m.scale_radius + (double)m.pivot_x);
    const int ty = (int)std::rint((double)m.inner_height - std::cos((double)theta) * (double)m.scale_radius);

    const bool lamp_lit = (m.style & STYLE_PEAK_LAMP) && m.peak_hold != 0;
    if (lamp_lit) --m.peak_hold;

    // A meter whose canvas or images could not be made keeps its state but draws nothing.
    WindowRef canvas = FindControl(program.main_window_handle, (int)control);
    if (!canvas || !BeginDrawingCanvas(canvas)) return 0;
    const int spread = NeedleSpread(theta);
    // The face covers the whole canvas, so what this pass draws depends on nothing but the
    // needle, the lamp and the two images. When those are what the canvas already shows (a
    // steady level), drawing it all again would leave every pixel as it is: the pass stays
    // empty.
    MeterDrawn now{canvas, m.face_version, tx, ty, spread, lamp_lit};
    const bool same = m.face_image && m.drawn.canvas && m.drawn.canvas == now.canvas &&
                      m.drawn.face_version == now.face_version && m.drawn.tip_x == tx && m.drawn.tip_y == ty &&
                      m.drawn.spread == spread && m.drawn.lamp_lit == lamp_lit;
    if (!same) {
        if (m.face_image) DrawImagePlain(m.face_image, 0, 0);
        DrawNeedle(m, spread, tx, ty);
        if (lamp_lit) FillDisc((int)m.lamp_x, (int)m.lamp_y, (int)m.lamp_radius, LAMP_ON_COLOUR);
        if (m.panel_image)
            DrawImageAlpha(m.panel_image, 0, (int)m.inner_height - ImageHeight(m.panel_image));
        m.drawn = now;
    }
    EndDrawing();
    return 0;
}

int SetMeterAveraging(intptr_t control, intptr_t count) {
    MeterRecord* found = FindMeter(control);
    if (!found) return 0;
    MeterRecord& m = *found;

    if (count > AVERAGE_MAX) {
        count = AVERAGE_MAX;
    } else if (count < 2) {
        count = 0;
    } else {
        // Nearest power of two on a logarithmic scale.
        int k = (int)std::round(std::log((double)count) / std::log(2.0));
        count = (intptr_t)1 << k;
    }
    // Prime the window with the last input so the needle does not jump.
    for (intptr_t i = 0; i < count; ++i) m.average_history[i] = m.value;
    m.history_index = 0;
    m.average_sum = (float)(m.value * (float)count);
    m.average_length = count;
    return 0;
}

namespace {

// rint in the default rounding mode (to nearest, ties to even), for |x| below 2^51: adding and
// taking away 1.5 x 2^52 leaves no bits below the units, and the addition rounds as rint does.
// The blend runs for every soft pixel of every needle update.
inline int RoundToEven(double x) {
#if defined(__SSE2_MATH__) || defined(_M_X64)
    const double shift = 6755399441055744.0;
    return (int)((x + shift) - shift);
#else
    return (int)std::rint(x);   // x87 keeps extra precision in between: no such trick there
#endif
}

int BlendChannel(int a, int b, double f, double g) { return RoundToEven(a * f + b * g); }

}  // namespace

Colour BlendColours(Colour c1, Colour c2, double f) {
    double g = 1.0 - f;
    int red = BlendChannel((int)(c1 & 255), (int)(c2 & 255), f, g);
    int green = BlendChannel((int)((c1 >> 8) & 255), (int)((c2 >> 8) & 255), f, g);
    int blue = BlendChannel((int)(c1 >> 16), (int)(c2 >> 16), f, g);
    return (Colour)(red + green * 256 + blue * 65536);
}

void DrawSmoothLine(int x1, int y1, int x2, int y2, Colour colour, int width) {
    DrawSmoothLineAbove(x1, y1, x2, y2, colour, width, INT_MAX);
}

void DrawSmoothLineAbove(int x1, int y1, int x2, int y2, Colour colour, int width, int limit) {
    int dx = x2 - x1, dy = y2 - y1;
    int sx = 1, sy = 1;
    if (dx < 0) {
        sx = -1;
        dx = -dx;
    }
    if (dy < 0) {
        sy = -1;
        dy = -dy;
    }
    const double half = width / 2.0;
    const double len = std::sqrt((double)dx * dx + (double)dy * dy);
    if (len == 0.0) return;
    const double u = dx / len;
    const double v = -std::sin(std::acos(u));   // -dy / len
    const double reach = half + 0.5;             // farthest a touched pixel can be

    // Each pixel is visited once, so none of them reads back what the line wrote: the pixels
    // are worked out first, the partly covered ones read together, and all written together.
    static std::vector<PointI> points;
    static std::vector<double> coverage;
    static std::vector<PointI> soft_points;
    static std::vector<Colour> colours;
    points.clear();
    coverage.clear();
    soft_points.clear();
    for (int i = -width; i <= dx + width; ++i) {
        // Pixels farther than `reach` from the line are skipped anyway; when the line is not
        // vertical, only the band of rows that can be near it is visited. The band is
        // widened by a row each way so rounding never drops a pixel the exact test keeps.
        int j_first = -width, j_last = dy + width;
        if (u > 0.0) {
            double centre = -i * v / u, spread = reach / u;
            // Clamped as doubles first: a nearly vertical line gives a huge band.
            j_first = (int)std::max((double)j_first, std::floor(centre - spread) - 1.0);
            j_last = (int)std::min((double)j_last, std::ceil(centre + spread) + 1.0);
        }
        // The same products as along = i u - j v and across = |i v + j u| for each j (IEEE
        // arithmetic: taken out of the loop, the results do not change).
        const double iu = i * u, iv = i * v;
        for (int j = j_first; j <= j_last; ++j) {
            const double along = iu - j * v;
            const double across = std::fabs(iv + j * u);
            if (across > reach) continue;
            double cov = std::min(half - across + 0.5, 1.0);
            if (along > -1.0 && along < len + 1.0) {
                if (along < 0.0)
                    cov *= along + 1.0;
                else if (along > len)
                    cov *= len - along + 1.0;
            } else {
                cov = 0.0;
            }
            if (cov <= 0.0) continue;
            const int px = x1 + i * sx, py = y1 + j * sy;
            if (py >= limit) continue;
            points.push_back(PointI{px, py});
            coverage.push_back(cov);
            if (cov < 1.0) soft_points.push_back(points.back());
        }
    }
    colours.resize(soft_points.size());
    ReadPixels(soft_points.data(), (int)soft_points.size(), colours.data());
    size_t soft = 0;
    colours.resize(points.size() + soft_points.size());
    Colour* out = colours.data() + soft_points.size();
    for (size_t k = 0; k < points.size(); ++k)
        out[k] = coverage[k] < 1.0 ? BlendColours(FRINGE_COLOUR, colours[soft++], coverage[k]) : colour;
    WritePixels(points.data(), out, (int)points.size());
}
