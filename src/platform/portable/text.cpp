// Text of the portable backend (text.h): faces found through fontconfig, glyphs rendered
// by FreeType, drawn anti-aliased onto a raster surface, plain or rotated.
#include "platform/portable/text.h"

#include "platform/portable/core.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct CachedGlyph {
    bool loaded = false;
    int left = 0;        // bitmap offset from the pen position, x right
    int top = 0;         // bitmap offset above the baseline, y up
    int width = 0;
    int rows = 0;
    int advance = 0;     // whole pixels (hinted advance)
    std::vector<uint8_t> coverage;
};

FT_Library TextLibrary() {
    // One FreeType library for the process; fonts are opened and closed on the GUI thread.
    static FT_Library library = [] {
        FT_Library lib = nullptr;
        if (FT_Init_FreeType(&lib) != 0) return (FT_Library) nullptr;
        return lib;
    }();
    return library;
}

// Finds the file of the face fontconfig would pick for `family` at `weight`.
bool FindFontFile(const char* family, int weight, std::string* file, int* index) {
    // fontconfig keeps its configuration until FcFini; release it at exit so leak checkers
    // stay quiet about memory that is ours to give back.
    static bool ready = [] {
        if (!FcInit()) return false;
        std::atexit(FcFini);
        return true;
    }();
    if (!ready) return false;
    FcPattern* pattern = FcPatternCreate();
    if (!pattern) return false;
    FcPatternAddString(pattern, FC_FAMILY, (const FcChar8*)(family ? family : ""));
    FcPatternAddInteger(pattern, FC_WEIGHT, weight >= 600 ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (!match) return false;
    FcChar8* path = nullptr;
    bool found = FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch && path;
    if (found) {
        *file = (const char*)path;
        int i = 0;
        if (FcPatternGetInteger(match, FC_INDEX, 0, &i) != FcResultMatch) i = 0;
        *index = i;
    }
    FcPatternDestroy(match);
    return found;
}

}  // namespace

struct TextFont {
    FT_Face face = nullptr;
    int ascent = 0;
    int descent = 0;
    CachedGlyph glyphs[256];   // by byte value, filled on first use
};

namespace {

const CachedGlyph* UnrotatedGlyph(TextFont* font, unsigned char ch) {
    CachedGlyph& glyph = font->glyphs[ch];
    if (glyph.loaded) return &glyph;
    glyph.loaded = true;
    FT_Face face = font->face;
    FT_Set_Transform(face, nullptr, nullptr);
    FT_UInt index = FT_Get_Char_Index(face, ch);
    if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) != 0) return &glyph;
    glyph.advance = (int)((face->glyph->advance.x + 32) >> 6);
    if (FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) != 0) return &glyph;
    const FT_Bitmap& bitmap = face->glyph->bitmap;
    glyph.left = face->glyph->bitmap_left;
    glyph.top = face->glyph->bitmap_top;
    glyph.width = (int)bitmap.width;
    glyph.rows = (int)bitmap.rows;
    glyph.coverage.resize((size_t)glyph.width * glyph.rows);
    for (int r = 0; r < glyph.rows; ++r)
        std::memcpy(glyph.coverage.data() + (size_t)r * glyph.width,
                    bitmap.buffer + (ptrdiff_t)r * bitmap.pitch, glyph.width);
    return &glyph;
}

// Blends a grey coverage bitmap (0 = untouched, 255 = `colour`) onto the surface with its
// top-left pixel at (x, y).
void BlendCoverage(Surface& s, int x, int y, const uint8_t* coverage, int width, int rows,
                   int pitch, Colour colour) {
    const uint32_t cr = ColourRed(colour), cg = ColourGreen(colour), cb = ColourBlue(colour);
    const uint32_t solid = ToPixel(colour);
    int c0 = std::max(0, -x), c1 = std::min(width, s.width - x);
    int r0 = std::max(0, -y), r1 = std::min(rows, s.height - y);
    ChangeMap* map = s.changes;
    const uint64_t stamp = map && r0 < r1 && c0 < c1 ? NextChangeStamp() : 0;
    for (int r = r0; r < r1; ++r) {
        const uint8_t* line = coverage + (ptrdiff_t)r * pitch;
        uint32_t* row = s.pixels + (size_t)(y + r) * s.stride + x;
        for (int c = c0; c < c1; ++c) {
            uint32_t a = line[c];
            if (a == 0) continue;
            uint32_t pixel = solid;
            if (a != 255) {
                uint32_t d = row[c], na = 255 - a;
                uint32_t red = (cr * a + PixelRed(d) * na + 127) / 255;
                uint32_t green = (cg * a + PixelGreen(d) * na + 127) / 255;
                uint32_t blue = (cb * a + PixelBlue(d) * na + 127) / 255;
                pixel = MakePixel(red, green, blue);
            }
            if (row[c] == pixel) continue;
            row[c] = pixel;
            if (map) MarkTileChanged(*map, x + c, y + r, stamp);
        }
    }
}

void DrawRotated(Surface& s, TextFont* font, int x, int y, const char* text, double degrees,
                 Colour colour) {
    FT_Face face = font->face;
    double radians = degrees * M_PI / 180.0;
    double c = std::cos(radians), sn = std::sin(radians);
    // FreeType's y axis points up, so a counter-clockwise turn on screen is the ordinary
    // rotation matrix there.
    FT_Matrix matrix;
    matrix.xx = (FT_Fixed)std::lround(c * 65536.0);
    matrix.xy = (FT_Fixed)std::lround(-sn * 65536.0);
    matrix.yx = (FT_Fixed)std::lround(sn * 65536.0);
    matrix.yy = (FT_Fixed)std::lround(c * 65536.0);
    // On screen (y down) the baseline runs along (cos, -sin) and "down" is (sin, cos); the
    // first pen position is the cell's corner moved down by the ascent.
    double pen = 0.0;   // distance along the baseline, in unrotated advances
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        const CachedGlyph* cached = UnrotatedGlyph(font, *p);
        double ox = x + font->ascent * sn + pen * c;
        double oy = y + font->ascent * c - pen * sn;
        double ix = std::floor(ox), iy = std::floor(oy);
        FT_Vector delta;
        delta.x = (FT_Pos)std::lround((ox - ix) * 64.0);
        delta.y = (FT_Pos)std::lround(-(oy - iy) * 64.0);
        FT_Set_Transform(face, &matrix, &delta);
        FT_UInt index = FT_Get_Char_Index(face, *p);
        if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) == 0 &&
            FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) == 0) {
            const FT_Bitmap& bitmap = face->glyph->bitmap;
            BlendCoverage(s, (int)ix + face->glyph->bitmap_left, (int)iy - face->glyph->bitmap_top,
                          bitmap.buffer, (int)bitmap.width, (int)bitmap.rows, bitmap.pitch, colour);
        }
        pen += cached->advance;
    }
    FT_Set_Transform(face, nullptr, nullptr);
}

}  // namespace

TextFont* OpenTextFont(const char* face_name, int pixel_height, int weight) {
    if (pixel_height <= 0) return nullptr;
    FT_Library library = TextLibrary();
    if (!library) return nullptr;
    std::string file;
    int index = 0;
    if (!FindFontFile(face_name, weight, &file, &index)) return nullptr;
    FT_Face face = nullptr;
    if (FT_New_Face(library, file.c_str(), index, &face) != 0) return nullptr;
    if (FT_Set_Pixel_Sizes(face, 0, (FT_UInt)pixel_height) != 0) {
        FT_Done_Face(face);
        return nullptr;
    }
    TextFont* font = new TextFont;
    font->face = face;
    // FreeType has already rounded these outwards to whole pixels.
    font->ascent = (int)((face->size->metrics.ascender + 32) >> 6);
    font->descent = (int)((-face->size->metrics.descender + 32) >> 6);
    return font;
}

void CloseTextFont(TextFont* font) {
    if (!font) return;
    FT_Done_Face(font->face);
    delete font;
}

int MeasureTextWidth(TextFont* font, const char* text) {
    if (!font || !text) return 0;
    int width = 0;
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p)
        width += UnrotatedGlyph(font, *p)->advance;
    return width;
}

int FontLineHeight(TextFont* font) {
    return font ? font->ascent + font->descent : 0;
}

void DrawTextOnSurface(Surface& s, TextFont* font, int x, int y, const char* text,
                       double degrees, Colour colour, bool background, Colour back) {
    if (!font || !text) return;
    if (background) RasterFillBox(s, x, y, MeasureTextWidth(font, text), FontLineHeight(font), back);
    double turn = std::fmod(degrees, 360.0);
    if (turn != 0.0) {
        DrawRotated(s, font, x, y, text, degrees, colour);
        return;
    }
    int pen = x, baseline = y + font->ascent;
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        const CachedGlyph* glyph = UnrotatedGlyph(font, *p);
        if (glyph->width > 0)
            BlendCoverage(s, pen + glyph->left, baseline - glyph->top, glyph->coverage.data(),
                          glyph->width, glyph->rows, glyph->width, colour);
        pen += glyph->advance;
    }
}

RectI TextInkBox(TextFont* font, int x, int y, const char* text, bool background) {
    RectI box{0, 0, 0, 0};
    if (!font || !text) return box;
    if (background) box = RectI{x, y, x + MeasureTextWidth(font, text), y + FontLineHeight(font)};
    int pen = x, baseline = y + font->ascent;
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        const CachedGlyph* glyph = UnrotatedGlyph(font, *p);
        if (glyph->width > 0 && glyph->rows > 0) {
            int left = pen + glyph->left, top = baseline - glyph->top;
            box = RectUnion(box, RectI{left, top, left + glyph->width, top + glyph->rows});
        }
        pen += glyph->advance;
    }
    return box;
}
