// Private records of the portable core (window tree, images, fonts) shared by its own files
// (windows.cpp, drawing.cpp, queue.cpp), plus the few hooks the headless presenter uses to
// reset the core between tests and to make creations fail on purpose.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/portable/backend.h"
#include "platform/raster/dirty_rects.h"
#include "platform/raster/raster.h"

struct TextFont;

enum class WindowKind { MAIN, TOOLBAR, DROP_DOWN_LIST, SUNKEN_FRAME, CANVAS, IMAGE_CONTROL };

struct ListItem {
    std::string text;
    intptr_t data = 0;
};

struct PlatformImage {
    int width = 0;
    int height = 0;
    int depth = 32;
    std::vector<uint32_t> pixels;  // 0xAABBGGRR, row after row
    // Changes (never repeating, across all images) whenever the pixels may have changed: at
    // creation and at the start of every drawing pass on the image.
    uint64_t generation = 0;
    // Changes (like `generation`) only when a drawing pass really drew on the image: a pass
    // that leaves it alone leaves what image controls show of it valid.
    uint64_t content_version = 0;
    // The version before the last pass that drew, and the part of the image that pass drew
    // on: a control showing that version needs only this part again.
    uint64_t previous_version = 0;
    RectI last_changed{0, 0, 0, 0};
    // When not empty: that pass began by moving pixels into `last_scroll` from (dx, dy) back
    // (a strip chart's step), and `last_changed` is what it drew besides.
    RectI last_scroll{0, 0, 0, 0};
    int last_scroll_dx = 0, last_scroll_dy = 0;
    uint64_t opaque_generation = 0;  // the generation `opaque` was worked out for
    bool opaque = false;             // every pixel has alpha 255
    // What each pass changed, so that image controls show only that again.
    ChangeMap changes;
    Surface View() { return Surface{width, height, width, pixels.data(), &changes}; }
};

// An image copied opaquely onto a canvas's backing, and the part of it drawn over since.
// Copying the same unchanged image to the same place again only has to restore that part:
// the meters lay the same face and cover plate down on every update and change a needle's
// worth of pixels in between.
struct BlitMemo {
    uint64_t generation = 0;   // the image's generation; 0 = slot unused
    int x = 0, y = 0;          // where it was copied
    RectI rect{0, 0, 0, 0};    // the backing pixels it covered (clipped)
    RectI touched{0, 0, 0, 0}; // bounding box of what was written over `rect` since
    // Part of `rect` that another memo's image was copied over afterwards (left out of
    // `touched`): while that image lies there untouched, restoring this one there can wait.
    int covered_by = -1;       // that memo's slot
    uint64_t covered_generation = 0;
    RectI covered{0, 0, 0, 0};
    // The backing's change stamp when the image last lay there whole (but for `covered`):
    // only tiles stamped since can differ from it.
    uint64_t stamp = 0;
};

struct PlatformFont {
    TextFont* text = nullptr;
};

struct PlatformWindow {
    WindowKind kind = WindowKind::MAIN;
    std::atomic<bool> alive{true};          // read by PostWindowMessage from any thread
    PlatformWindow* parent = nullptr;
    std::vector<PlatformWindow*> children;  // creation order = painting order
    WindowProcedure procedure = nullptr;
    int id = 0;
    RectI rect{};                           // top level: outer frame on screen; control: in parent client
    bool visible = true;
    std::map<std::string, void*> properties;
    intptr_t user_data = 0;

    // Top level only.
    std::string title;
    uint32_t style = 0;
    Colour background = MakeColour(255, 255, 255);
    int client_width = 0;
    int client_height = 0;
    std::vector<uint32_t> content;          // what the program and the controls drew
    ChangeMap changes;                      // of `content` (top level) or of `backing` (canvas)
    std::vector<uint32_t> shown;            // content with an open list drawn over it (only while open)
    PlatformWindow* open_list = nullptr;

    // Toolbar.
    std::vector<int> button_images;

    // Drop-down list.
    std::vector<ListItem> items;
    int selection = -1;
    int highlight = -1;                     // highlighted item of the open list
    int first_visible = 0;                  // first item shown in the open list

    // Canvas: backing bitmap of the inner size.
    int backing_width = 0;
    int backing_height = 0;
    std::vector<uint32_t> backing;
    static constexpr int BLIT_MEMOS = 3;
    BlitMemo blit_memos[BLIT_MEMOS];
    int next_memo = 0;                      // slot to reuse when all are taken
    // The top level's pixels over the canvas's visible part equal the backing: nothing else
    // has drawn there since the backing was last shown whole. Only then may a pass show just
    // the pixels it really changed instead of everything it drew.
    bool backing_shown = false;
    // While the backing is shown, it is shown as it was at this change stamp.
    uint64_t composed_stamp = 0;

    // Image control.
    PlatformImage* image = nullptr;
    // The top level's pixels over the control equal its painting with this image at this
    // content version: setting the same unchanged image again needs no repaint.
    const PlatformImage* painted_image = nullptr;
    uint64_t painted_version = 0;
    bool painting_shown = false;
};

// ---- text.cpp ----
// Bounding box of every pixel that drawing `text` unrotated at (x, y) may change, the
// background cell included when `background`. Empty for no text.
RectI TextInkBox(TextFont* font, int x, int y, const char* text, bool background);

// ---- windows.cpp ----
PlatformWindow* TopLevelOf(PlatformWindow* window);
bool IsLiveWindow(PlatformWindow* window);
// The window's rectangle in its top level's client coordinates.
RectI AbsoluteRect(PlatformWindow* window);
// Visible together with all of its ancestors.
bool IsShownDeep(PlatformWindow* window);
// The top level's client pixels in `area` changed: keeps an open list drawn over them and
// presents the area. `exact` when every pixel written there went through the surface's change
// map, so that only the tiles it stamped since can differ from what was shown.
void SurfaceChanged(PlatformWindow* top, RectI area, bool exact = false);
// The top level's client pixels / a canvas's backing, with their change maps.
Surface ContentSurface(PlatformWindow* top);
Surface BackingSurface(PlatformWindow* canvas);
// The default GUI font ("Arial" 8 pt), made on first use; null when no face can be loaded.
TextFont* DefaultGuiFont();
// Copies `area` of a canvas's backing bitmap (backing coordinates) into its top level, where
// the backing changed after `since` (0: all of it).
void ComposeCanvas(PlatformWindow* canvas, RectI area, uint64_t since = 0);
// Something other than a canvas's own composition changed the top level's pixels in `area`:
// canvases there (but `except`) no longer show their backing there, nor image controls
// their last painting.
void CanvasesOverdrawn(PlatformWindow* top, RectI area, PlatformWindow* except);
// The canvas's visible part is wholly shown (after composing all of it).
bool CanvasVisibleWhole(PlatformWindow* canvas, RectI backing_area);
// An image is being released: image controls stop showing it.
void ForgetImageInControls(PlatformImage* image);

// ---- drawing.cpp ----
// Something other than a drawing operation is about to write `top`'s pixels: what a drawing
// pass left owed there is paid first.
void SettleDrawingOver(PlatformWindow* top);
// A window, canvas or image is going away: a drawing pass on it is closed without output.
void ForgetDrawingTarget(PlatformWindow* window, PlatformImage* image);

// ---- queue.cpp ----
void ForgetWindowTimers(PlatformWindow* window);
// The earliest due time of any timer, UINT64_MAX when none runs.
uint64_t CoreNextTimerDue();
// Messages posted and not yet taken.
size_t CorePostedCount();
// Input was handed to a window while polling; the wait counts it as a message taken.
void CoreNoteInputDelivered();
// A key went down or up (feeds QueryAsyncKeyState).
void RecordKeyTransition(int virtual_key, bool down);

// Rectangle helpers (right and bottom exclusive).
inline bool RectEmpty(const RectI& r) { return r.right <= r.left || r.bottom <= r.top; }
inline RectI RectIntersect(const RectI& a, const RectI& b) {
    RectI r{a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
            a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
    if (RectEmpty(r)) return RectI{0, 0, 0, 0};
    return r;
}
inline RectI RectUnion(const RectI& a, const RectI& b) {
    if (RectEmpty(a)) return b;
    if (RectEmpty(b)) return a;
    return RectI{a.left < b.left ? a.left : b.left, a.top < b.top ? a.top : b.top,
                 a.right > b.right ? a.right : b.right, a.bottom > b.bottom ? a.bottom : b.bottom};
}
inline bool RectEqual(const RectI& a, const RectI& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
inline RectI RectOffset(RectI r, int dx, int dy) { return RectI{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy}; }

// A handful of rectangles that together cover what changed; close ones are merged so that a
// pass never presents more than a few pieces.
using DirtyRects = DirtyRectList<RectI, 6>;

// ---- fault injection and reset, for the headless presenter ----
enum CoreCreationKind {
    CORE_CREATE_MAIN_WINDOW,
    CORE_CREATE_TOOLBAR,
    CORE_CREATE_FONT,
    CORE_CREATE_IMAGE,
    CORE_CREATE_CANVAS,
    CORE_CREATE_LIST,
    CORE_CREATE_FRAME,
    CORE_CREATE_IMAGE_CONTROL,
    CORE_CREATE_KIND_COUNT
};
// After `successes` more creations of that kind succeed, every further one fails; a negative
// count removes the fault.
void CoreFailCreation(int kind, int successes);
// True when this creation of `kind` must fail (counts the successes down).
bool CoreCreationFails(int kind);
// Destroys every window, empties the queue, stops the timers, clears key state, focus, the
// drawing pass and the faults. Images and fonts the caller still holds stay valid.
void CoreReset();
void ResetWindows();
void ResetQueue();
void ResetDrawing();
