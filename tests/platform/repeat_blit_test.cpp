// Canvases that copy the same images every pass (as the meters do) are restored only where
// they were drawn over: long random runs of passes must leave the backing exactly as the
// plain raster draws it, and the window showing the backing; plus the opaque-row fast path
// of the alpha blit next to rows that really blend. The same for an image copied onto a
// window every pass with lines over it (a scope box and its trace).
#include <random>
#include <vector>

#include "platform/portable/backend.h"
#include "platform/portable/core.h"
#include "platform/portable/text.h"
#include "recorder.h"

namespace {

constexpr int W = 64, H = 48;          // canvas inside
constexpr int CANVAS_X = 10, CANVAS_Y = 10;
constexpr int PLATE_Y = 36, PLATE_H = 12;

struct Reference {
    std::vector<uint32_t> pixels = std::vector<uint32_t>((size_t)W * H, PIXEL_OPAQUE);
    Surface View() { return Surface{W, H, W, pixels.data()}; }
};

class RepeatBlitTest : public PortableTest {
protected:
    WindowRef main = nullptr;
    WindowRef canvas = nullptr;
    ImageRef face = nullptr, plate = nullptr, glass = nullptr;
    Reference ref;
    std::mt19937 rng{12345};

    void SetUp() override {
        PortableTest::SetUp();
        main = MakeMain(160, 120);
        canvas = CreateCanvas(main, 7, CANVAS_X, CANVAS_Y, W + 4, H + 4);
        ASSERT_NE(canvas, nullptr);
        face = CreateImage(W, H, 32);
        plate = CreateImage(W, PLATE_H, 32);
        glass = CreateImage(W, 8, 32);
        PaintImage(face, 1);
        PaintImage(plate, 2);
        // Half-transparent rows between opaque and fully transparent ones.
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < W; ++x) {
                uint32_t alpha = y < 2 ? 255u : y < 5 ? (uint32_t)(40 * y + x) & 255u : (y == 5 ? 0u : 128u);
                glass->pixels[(size_t)y * W + x] = (alpha << 24) | (uint32_t)(x * 4) | ((uint32_t)y << 12);
            }
    }
    void TearDown() override {
        EndDrawing();
        ReleaseImage(face);
        ReleaseImage(plate);
        ReleaseImage(glass);
        PortableTest::TearDown();
    }

    int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
    Colour RandomColour() { return MakeColour(Random(0, 255), Random(0, 255), Random(0, 255)); }

    void PaintImage(ImageRef image, int seed) {
        ASSERT_TRUE(BeginDrawingImage(image));
        for (int y = 0; y < ImageHeight(image); ++y)
            FillBox(0, y, ImageWidth(image), 1, MakeColour((y * 5 + seed * 70) & 255, seed * 60, y * 3));
        DrawLineBetween(0, 0, ImageWidth(image) - 1, ImageHeight(image) - 1, MakeColour(seed * 90, 250, 9));
        EndDrawing();
    }

    const uint32_t* Backing() { return canvas->backing.data(); }

    // The window's pixels over the canvas inside equal its backing.
    void ExpectWindowShowsBacking(const char* when) {
        SurfaceView view = TopLevelSurface(main);
        int differing = 0;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                if (view.pixels[(size_t)(CANVAS_Y + 2 + y) * view.stride + CANVAS_X + 2 + x] !=
                    (Backing()[(size_t)y * W + x] | PIXEL_OPAQUE))
                    ++differing;
        EXPECT_EQ(differing, 0) << when;
    }

    void ExpectBackingMatchesReference(int pass) {
        int differing = 0;
        for (size_t i = 0; i < ref.pixels.size(); ++i)
            if (Backing()[i] != ref.pixels[i]) ++differing;
        ASSERT_EQ(differing, 0) << "backing differs from the plain raster after pass " << pass;
    }

    // One pass in the meters' shape (face, drawing over it, cover plate), with random
    // departures from it; the same operations go to the reference through the raster.
    void RandomPass() {
        Surface r = ref.View();
        ASSERT_TRUE(BeginDrawingCanvas(canvas));
        int face_shape = Random(0, 19), plate_shape = Random(0, 9);
        if (face_shape < 17) {
            DrawImagePlain(face, 0, 0);
            RasterBlit(r, face->View(), 0, 0);
        } else if (face_shape == 17) {
            DrawImagePlain(face, 1, -1);   // the same image elsewhere
            RasterBlit(r, face->View(), 1, -1);
        }
        int operations = Random(0, 6);
        for (int k = 0; k < operations; ++k) {
            Colour c = RandomColour();
            switch (Random(0, 5)) {
            case 0: {
                int x1 = Random(-5, W + 5), y1 = Random(-5, H + 5), x2 = Random(-5, W + 5), y2 = Random(-5, H + 5);
                DrawLineBetween(x1, y1, x2, y2, c);
                RasterLine(r, x1, y1, x2, y2, c);
                break;
            }
            case 1: {
                int x = Random(-5, W), y = Random(-5, H), w = Random(1, 20), h = Random(1, 20);
                FillBox(x, y, w, h, c);
                RasterFillBox(r, x, y, w, h, c);
                break;
            }
            case 2: {
                int x = Random(0, W), y = Random(PLATE_Y - 4, H), radius = Random(0, 4);
                FillDisc(x, y, radius, c);
                RasterDisc(r, x, y, radius, c);
                break;
            }
            case 3: {
                // A short run of read-modify-write pixels, as an anti-aliased needle does.
                int x = Random(0, W - 1), y = Random(0, H - 1);
                for (int i = 0; i < 12; ++i, ++y, x += Random(-1, 1)) {
                    Colour under = ReadPixel(x, y);
                    bool inside = x >= 0 && y >= 0 && x < W && y < H;
                    EXPECT_EQ(under, inside ? ToColour(ref.pixels[(size_t)y * W + x]) : 0xFFFFFFFFu);
                    if (!inside) continue;
                    Colour mixed = (under + 0x010203u) & 0x00FFFFFFu;
                    WritePixel(x, y, mixed);
                    ref.pixels[(size_t)y * W + x] = ToPixel(mixed);
                }
                break;
            }
            case 4: {
                SetDrawingMode(DRAWMODE_TRANSPARENT);
                int x = Random(-4, W - 4), y = Random(-4, H - 4);
                DrawTextAt(x, y, "Wj", c);
                DrawTextOnSurface(r, DefaultGuiFont(), x, y, "Wj", 0.0, c, false, 0);
                SetDrawingMode(DRAWMODE_DEFAULT);
                break;
            }
            case 5: {
                int y = Random(-2, H - 4);
                DrawImageAlpha(glass, 0, y);
                RasterBlitAlpha(r, glass->View(), 0, y);
                break;
            }
            }
        }
        if (plate_shape < 8) {
            DrawImageAlpha(plate, 0, PLATE_Y);
            RasterBlitAlpha(r, plate->View(), 0, PLATE_Y);
        } else if (plate_shape == 8) {
            // Read back where the plate would be, then leave it off.
            for (int x = 0; x < W; x += 7) EXPECT_EQ(ReadPixel(x, PLATE_Y + 3), ToColour(ref.pixels[(size_t)(PLATE_Y + 3) * W + x]));
        }
        EndDrawing();
    }
};

TEST_F(RepeatBlitTest, RandomPassesDrawExactlyWhatThePlainRasterDraws) {
    std::copy(canvas->backing.begin(), canvas->backing.end(), ref.pixels.begin());
    for (int pass = 0; pass < 400; ++pass) {
        if (pass % 97 == 50) {
            // The face changes now and then: the next copy must not trust what it left.
            PaintImage(face, 3 + pass % 5);
        }
        RandomPass();
        if (HasFailure()) return;
        ExpectBackingMatchesReference(pass);
        ExpectWindowShowsBacking("after a canvas pass");
    }
}

TEST_F(RepeatBlitTest, WindowDrawingOverACanvasStaysUntilTheCanvasDrawsThere) {
    // Pixels the program draws over a canvas on the window itself are covered again by what
    // the canvas draws next, as far as it draws: all of it when it lays its face down.
    for (int i = 0; i < 3; ++i) RandomPass();
    ASSERT_TRUE(BeginDrawingWindow(main));
    FillBox(CANVAS_X + 5, CANVAS_Y + 5, 30, 30, MakeColour(1, 2, 3));
    EndDrawing();
    // A pass that draws only a small box: the rest of the window drawing stays.
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    FillBox(0, 0, 4, 4, MakeColour(9, 9, 9));
    EndDrawing();
    Surface r = ref.View();
    RasterFillBox(r, 0, 0, 4, 4, MakeColour(9, 9, 9));
    SurfaceView view = TopLevelSurface(main);
    EXPECT_EQ(view.pixels[(size_t)(CANVAS_Y + 20) * view.stride + CANVAS_X + 20], ToPixel(MakeColour(1, 2, 3)));
    EXPECT_EQ(view.pixels[(size_t)(CANVAS_Y + 2) * view.stride + CANVAS_X + 2], ToPixel(MakeColour(9, 9, 9)));
    // The next full pass repeats its face copy; the window shows the canvas whole again.
    RandomPass();
    ExpectWindowShowsBacking("after a full pass following window drawing");
    for (int i = 0; i < 5; ++i) {
        RandomPass();
        ExpectWindowShowsBacking("after later passes");
    }
    // Hidden, the canvas keeps drawing; shown again, it shows its backing.
    ShowControl(canvas, false);
    for (int i = 0; i < 3; ++i) RandomPass();
    ShowControl(canvas, true);
    ExpectWindowShowsBacking("after showing the canvas again");
    RandomPass();
    ExpectWindowShowsBacking("after a pass once shown again");
}

TEST_F(RepeatBlitTest, ResizedCanvasCopiesItsImagesWhole) {
    for (int i = 0; i < 3; ++i) RandomPass();
    MoveControl(canvas, CANVAS_X, CANVAS_Y, W + 4, H + 4 - 10);
    MoveControl(canvas, CANVAS_X, CANVAS_Y, W + 4, H + 4);   // the lower rows come back black
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    DrawImagePlain(face, 0, 0);
    DrawImageAlpha(plate, 0, PLATE_Y);
    EndDrawing();
    Reference expected;
    Surface e = expected.View();
    RasterBlit(e, face->View(), 0, 0);
    RasterBlitAlpha(e, plate->View(), 0, PLATE_Y);
    EXPECT_EQ(canvas->backing, expected.pixels);
    ExpectWindowShowsBacking("after resizing");
}

TEST_F(RepeatBlitTest, AlphaBlitOfMixedRowsBlendsOnlyWherePixelsAreNotOpaque) {
    // Rows 0-1 opaque (copied), 2-4 partly transparent (blended), 5 transparent (kept),
    // 6-7 half (blended): through the drawing context twice (a repeat must blend again,
    // not copy) and against the per-pixel rule.
    Reference expected;
    Surface e = expected.View();
    RasterFillBox(e, 0, 0, W, H, MakeColour(10, 200, 30));
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    FillBox(0, 0, W, H, MakeColour(10, 200, 30));
    DrawImageAlpha(glass, 0, 3);
    DrawImageAlpha(glass, 0, 3);
    EndDrawing();
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < W; ++x) {
            uint32_t sp = glass->pixels[(size_t)y * W + x], a = sp >> 24;
            for (int twice = 0; twice < 2; ++twice) {
                uint32_t& dp = expected.pixels[(size_t)(y + 3) * W + x];
                uint32_t out = PIXEL_OPAQUE;
                for (int shift = 0; shift < 24; shift += 8) {
                    uint32_t sc = (sp >> shift) & 255, dc = (dp >> shift) & 255;
                    out |= ((sc * a + dc * (255 - a) + 127) / 255) << shift;
                }
                dp = out;
            }
        }
    EXPECT_EQ(canvas->backing, expected.pixels);
    EXPECT_NE(canvas->backing[(size_t)6 * W + 5], ToPixel(MakeColour(10, 200, 30))) << "partial row blended";
    EXPECT_EQ(canvas->backing[(size_t)8 * W + 5], ToPixel(MakeColour(10, 200, 30))) << "transparent row kept";
    ExpectWindowShowsBacking("after blending");
}

// A box laid down on the window every pass, then lines over it, as a scope tick does: the
// same lines again (a steady block), partly the same, others, and now and then something
// else drawn over the box or the window repainted under it. After every pass the window must
// hold what the plain raster draws.
TEST_F(RepeatBlitTest, WindowCopiesWithLinesOverThemDrawExactlyWhatThePlainRasterDraws) {
    constexpr int BX = 20, BY = 30, BW = 96, BH = 60;   // the box on the 160 x 120 window
    ImageRef box = CreateImage(BW, BH, 32);
    PaintImage(box, 4);
    std::vector<uint32_t> want((size_t)160 * 120);
    SurfaceView view = TopLevelSurface(main);
    std::copy(view.pixels, view.pixels + want.size(), want.begin());
    Surface r{160, 120, 160, want.data()};
    std::vector<std::vector<PointI>> strokes;
    auto random_stroke = [&] {
        std::vector<PointI> points;
        const int count = Random(2, 9);
        for (int x = BX - 3, i = 0; i < count; ++i, x += Random(0, 14))
            points.push_back({x, Random(BY - 4, BY + BH + 3)});
        return points;
    };
    for (int pass = 0; pass < 1000; ++pass) {
        ASSERT_TRUE(BeginDrawingWindow(main));
        DrawImagePlain(box, BX, BY);
        RasterBlit(r, box->View(), BX, BY);
        // Mostly the strokes of the last pass; sometimes one of them, or the order, changes.
        const int shape = Random(0, 9);
        if (strokes.empty() || shape == 0) strokes = {random_stroke(), random_stroke()};
        else if (shape == 1) strokes[Random(0, (int)strokes.size() - 1)] = random_stroke();
        else if (shape == 2) strokes.push_back(random_stroke());
        else if (shape == 3 && strokes.size() > 1) strokes.pop_back();
        else if (shape == 4) std::swap(strokes.front(), strokes.back());
        for (size_t k = 0; k < strokes.size(); ++k) {
            const Colour c = MakeColour(10 + 60 * (int)k, 221, 10);
            if (Random(0, 11) == 0) {
                // Something else over part of the box, between the lines.
                const int x = Random(BX - 5, BX + BW), y = Random(BY - 5, BY + BH);
                FillBox(x, y, 7, 5, MakeColour(200, 0, 0));
                RasterFillBox(r, x, y, 7, 5, MakeColour(200, 0, 0));
            }
            const std::vector<PointI>& points = strokes[k];
            if (points.size() == 2) DrawLineBetween(points[0].x, points[0].y, points[1].x, points[1].y, c);
            else DrawLinesBetween(points.data(), (int)points.size(), c);
            RasterLines(r, points.data(), (int)points.size(), c);
        }
        EndDrawing();
        if (pass % 61 == 30) {
            // The window repainted under the box (its background colour again): the next
            // copy must lay the whole box down.
            SetWindowBackground(main, MakeColour(0, 0, 40 + pass % 3));
            view = TopLevelSurface(main);
            std::copy(view.pixels, view.pixels + want.size(), want.begin());
        }
        view = TopLevelSurface(main);
        int differing = 0;
        for (size_t i = 0; i < want.size(); ++i) differing += (view.pixels[i] | PIXEL_OPAQUE) != (want[i] | PIXEL_OPAQUE);
        ASSERT_EQ(differing, 0) << "after pass " << pass;
    }
    ReleaseImage(box);
}

}  // namespace
