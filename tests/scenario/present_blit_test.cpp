// The copy into the native window's surface: at scale 1, 2 and 3 every screen pixel is the
// client pixel it enlarges (compared everywhere, on the real program's window), only what
// changed is written and reported, and the desktop scale is read as documented.
#include <gtest/gtest.h>

#include <vector>

#include "app/program.h"
#include "app/state.h"
#include "platform/portable/core.h"
#include "platform/portable/headless/headless.h"

namespace {

struct Screen {
    int width, height, pitch;   // pitch in bytes, with a little slack as real surfaces have
    std::vector<uint8_t> bytes;
    Screen(int w, int h) : width(w), height(h), pitch(w * 4 + 64), bytes((size_t)pitch * h, 0) {}
    uint32_t At(int x, int y) const { return ((const uint32_t*)(bytes.data() + (size_t)y * pitch))[x]; }
};

class PresentBlitTest : public ::testing::Test {
protected:
    void SetUp() override { HeadlessReset(); }
    void TearDown() override { HeadlessReset(); }
};

// Every screen pixel against the client pixel it shows.
void ExpectEnlarged(const SurfaceView& view, const Screen& screen, int n, bool swapped) {
    int wrong = 0;
    for (int y = 0; y < view.height * n; ++y)
        for (int x = 0; x < view.width * n; ++x) {
            uint32_t p = view.pixels[(size_t)(y / n) * view.stride + x / n];
            if (swapped) p = (p & 0xFF00FF00u) | ((p & 0xFFu) << 16) | ((p >> 16) & 0xFFu);
            p |= 0xFF000000u;
            if (screen.At(x, y) != p && ++wrong <= 5)
                ADD_FAILURE() << "scale " << n << ": screen pixel " << x << "," << y << " is " << std::hex
                              << screen.At(x, y) << ", client pixel shows " << p;
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(PresentBlitTest, ProgramWindowEnlargedPixelForPixelAtOneTwoAndThree) {
    HeadlessDevice device;
    device.signal = HeadlessSineSignal(997, 26000, 18000);
    HeadlessAddDevice(device);
    for (int n : {1, 2, 3}) {
        for (bool swapped : {false, true}) {
            HeadlessReset();
            HeadlessAddDevice(device);
            ASSERT_TRUE(StartProgram());
            HeadlessRunUntil(300);
            SurfaceView view = TopLevelSurface(program.main_window_handle);
            ASSERT_EQ(view.width, 800);
            ASSERT_EQ(view.height, 720);
            Screen screen(view.width * n, view.height * n);
            RectI all = PresentBlit(view, screen.bytes.data(), screen.pitch, screen.width, screen.height,
                                    RectI{0, 0, 1 << 20, 1 << 20}, n, swapped, true);
            EXPECT_TRUE(RectEqual(all, RectI{0, 0, 800, 720}));
            ExpectEnlarged(view, screen, n, swapped);

            // More ticks, then only what the core presented is copied, piece by piece: the
            // screen again equals the enlarged client area, and what was reported covers
            // every changed pixel.
            Screen before = screen;
            HeadlessClearPresented();
            HeadlessRunUntil(400);
            view = TopLevelSurface(program.main_window_handle);
            RectI reported{0, 0, 0, 0};
            for (const HeadlessPresent& p : HeadlessPresented())
                reported = RectUnion(reported, PresentBlit(view, screen.bytes.data(), screen.pitch, screen.width,
                                                           screen.height, p.rect, n, swapped, false));
            ExpectEnlarged(view, screen, n, swapped);
            EXPECT_FALSE(RectEmpty(reported)) << "the scope moves on every tick";
            for (int y = 0; y < screen.height; ++y)
                for (int x = 0; x < screen.width; ++x)
                    if (screen.At(x, y) != before.At(x, y)) {
                        ASSERT_TRUE(x / n >= reported.left && x / n < reported.right && y / n >= reported.top &&
                                    y / n < reported.bottom)
                            << "changed screen pixel " << x << "," << y << " outside what was reported";
                    }
            ShutDownProgram(true);
        }
    }
}

TEST_F(PresentBlitTest, UnchangedPixelsAreNeitherWrittenNorReported) {
    std::vector<uint32_t> pixels(40 * 30, 0xFF102030u);
    SurfaceView view{40, 30, 40, pixels.data()};
    for (int n : {1, 2}) {
        Screen screen(40 * n, 30 * n);
        PresentBlit(view, screen.bytes.data(), screen.pitch, screen.width, screen.height, RectI{0, 0, 40, 30}, n,
                    false, true);
        RectI again = PresentBlit(view, screen.bytes.data(), screen.pitch, screen.width, screen.height,
                                  RectI{0, 0, 40, 30}, n, false, false);
        EXPECT_TRUE(RectEmpty(again));
        // Two pixels change, far apart on one row and on another: the report is their box,
        // columns narrowed as well as rows.
        pixels[5 * 40 + 7] = 0xFFFF0000u;
        pixels[9 * 40 + 31] = 0xFF00FF00u;
        RectI changed = PresentBlit(view, screen.bytes.data(), screen.pitch, screen.width, screen.height,
                                    RectI{0, 0, 40, 30}, n, false, false);
        EXPECT_TRUE(RectEqual(changed, RectI{7, 5, 32, 10}))
            << changed.left << "," << changed.top << " - " << changed.right << "," << changed.bottom;
        EXPECT_EQ(screen.At(7 * n + n - 1, 5 * n + n - 1), 0xFFFF0000u);
        EXPECT_EQ(screen.At(31 * n, 9 * n), 0xFF00FF00u);
        // Outside the area asked for nothing is looked at.
        pixels[20 * 40 + 20] = 0xFF0000FFu;
        RectI outside = PresentBlit(view, screen.bytes.data(), screen.pitch, screen.width, screen.height,
                                    RectI{0, 0, 10, 10}, n, false, false);
        EXPECT_TRUE(RectEmpty(outside));
        EXPECT_EQ(screen.At(20 * n, 20 * n), 0xFF102030u);
        pixels[5 * 40 + 7] = pixels[9 * 40 + 31] = pixels[20 * 40 + 20] = 0xFF102030u;
    }
}

TEST_F(PresentBlitTest, ChangedColumnsFoundAtEveryPlaceOfARow) {
    // Rows of every width from 1 to 13, with the changes at every pair of places: at the ends,
    // on either side of each four-pixel step of the scan, alone or as a pair. The report is
    // exactly the changed columns and the screen row ends up as the client row, alpha made
    // opaque (the client pixels here carry none).
    for (int width = 1; width <= 13; ++width)
        for (int a = 0; a < width; ++a)
            for (int b = a; b < width; ++b) {
                std::vector<uint32_t> pixels((size_t)width, 0x00102030u);
                SurfaceView view{width, 1, width, pixels.data()};
                Screen screen(width, 1);
                PresentBlit(view, screen.bytes.data(), screen.pitch, width, 1, RectI{0, 0, width, 1}, 1, false, true);
                pixels[a] = 0x00FF0000u;
                pixels[b] = 0x0000FF00u;
                RectI changed = PresentBlit(view, screen.bytes.data(), screen.pitch, width, 1, RectI{0, 0, width, 1},
                                            1, false, false);
                ASSERT_TRUE(RectEqual(changed, RectI{a, 0, b + 1, 1}))
                    << "width " << width << ", changes at " << a << " and " << b << ": reported " << changed.left
                    << " - " << changed.right;
                for (int x = 0; x < width; ++x) ASSERT_EQ(screen.At(x, 0), pixels[x] | 0xFF000000u) << x;
            }
}

TEST(DesktopScale, FromDpiOrTheEnvironment) {
    EXPECT_EQ(DesktopScale(nullptr, 0), 1);
    EXPECT_EQ(DesktopScale(nullptr, 96), 1);
    EXPECT_EQ(DesktopScale(nullptr, 144), 1);
    EXPECT_EQ(DesktopScale(nullptr, 191), 1);
    EXPECT_EQ(DesktopScale(nullptr, 192), 2);
    EXPECT_EQ(DesktopScale(nullptr, 288), 3);
    EXPECT_EQ(DesktopScale(nullptr, 2000), 4);
    EXPECT_EQ(DesktopScale("3", 96), 3);
    EXPECT_EQ(DesktopScale("1", 192), 1);
    // Anything else in it is ignored.
    for (const char* ignored : {"", "0", "5", "-2", "2x", " 2", "2.5", "two", "99999999999999999999"})
        EXPECT_EQ(DesktopScale(ignored, 192), 2) << "'" << ignored << "'";
}

}  // namespace
