// Window emulation of the portable core: the window tree, procedures, properties, focus,
// placement, the controls the program uses (drawn here, Windows-10-like) and the routing of
// keys and mouse clicks. Implements the "Windows and controls" half of platform.h.
#include <algorithm>
#include <cstring>

#include "platform/portable/core.h"
#include "platform/portable/text.h"

namespace {

constexpr int TOOLBAR_HEIGHT = 28;
constexpr int TOOLBAR_BUTTON_WIDTH = 23;
constexpr int TOOLBAR_BUTTON_TOP = 2;
constexpr int TOOLBAR_BUTTON_HEIGHT = 22;
// A toolbar without CCS_NODIVIDER keeps a 2-pixel etched line along its top outside its
// client area, so its children sit 2 pixels lower than their coordinates say.
constexpr int TOOLBAR_DIVIDER_HEIGHT = 2;
constexpr int LIST_ITEM_HEIGHT = 15;
constexpr int LIST_MAX_DROP_HEIGHT = 350;
constexpr int LIST_ARROW_WIDTH = 17;
constexpr int FIRST_FRESH_ID = 0x1000;
constexpr uint32_t STM_SETIMAGE_MESSAGE = 0x0172;
constexpr uint32_t STM_GETIMAGE_MESSAGE = 0x0173;
constexpr uintptr_t IMAGE_BITMAP_TYPE = 0;
constexpr int VK_F4_KEY = 0x73;

// The divider as Windows (and Wine) draw it: a shadow line over a highlight line. Below
// it a flat toolbar is transparent: the window's own background shows through.
constexpr Colour TOOLBAR_DIVIDER_SHADOW = MakeColour(166, 166, 166);
constexpr Colour TOOLBAR_DIVIDER_LIGHT = MakeColour(255, 255, 255);
// The sunken edge's shadows as the Windows build shows them in our test bed (Wine's default
// scheme), so both builds show the same pixels; Windows 10 itself uses 160 and 105.
constexpr Colour EDGE_OUTER_DARK = MakeColour(166, 166, 166);
constexpr Colour EDGE_INNER_DARK = MakeColour(106, 106, 106);
constexpr Colour EDGE_OUTER_LIGHT = MakeColour(255, 255, 255);
constexpr Colour EDGE_INNER_LIGHT = MakeColour(227, 227, 227);
constexpr Colour LIST_FIELD = MakeColour(255, 255, 255);
constexpr Colour LIST_BORDER = MakeColour(122, 122, 122);
constexpr Colour LIST_ARROW = MakeColour(96, 96, 96);
constexpr Colour LIST_TEXT = MakeColour(0, 0, 0);
constexpr Colour DROP_BORDER = MakeColour(100, 100, 100);
constexpr Colour HIGHLIGHT = MakeColour(0, 120, 215);
constexpr Colour HIGHLIGHT_TEXT = MakeColour(255, 255, 255);

struct WindowSystem {
    std::vector<PlatformWindow*> tops;       // live top levels, creation order
    std::vector<PlatformWindow*> graveyard;  // destroyed windows stay allocated so stale handles are detectable
    PlatformWindow* focus = nullptr;
    int next_id = FIRST_FRESH_ID;
    TextFont* gui_font = nullptr;
    bool gui_font_tried = false;
    int fail_after[CORE_CREATE_KIND_COUNT];
    WindowSystem() { std::fill(std::begin(fail_after), std::end(fail_after), -1); }
};
// Never destroyed: windows outlive static destruction, and stale handles stay checkable.
WindowSystem& g = *new WindowSystem;

intptr_t PLATFORM_CALLBACK ToolbarProcedure(WindowRef, uint32_t, uintptr_t, intptr_t);
intptr_t PLATFORM_CALLBACK ListProcedure(WindowRef, uint32_t, uintptr_t, intptr_t);
intptr_t PLATFORM_CALLBACK ImageControlProcedure(WindowRef, uint32_t, uintptr_t, intptr_t);

uintptr_t MakeLong(int low, int high) { return (uint32_t)((low & 0xFFFF) | ((uint32_t)(high & 0xFFFF) << 16)); }

bool IsAncestorOrSelf(PlatformWindow* ancestor, PlatformWindow* window) {
    for (PlatformWindow* w = window; w; w = w->parent)
        if (w == ancestor) return true;
    return false;
}

bool HasEdge(const PlatformWindow* w) {
    return w->kind == WindowKind::SUNKEN_FRAME || w->kind == WindowKind::CANVAS ||
           w->kind == WindowKind::IMAGE_CONTROL;
}

// Where a control's client area starts inside its rectangle: the sunken edge of frames,
// canvases and image controls, the divider of the toolbar.
void ClientInset(const PlatformWindow* w, int* left, int* top) {
    *left = HasEdge(w) ? 2 : 0;
    *top = HasEdge(w) ? 2 : w->kind == WindowKind::TOOLBAR ? TOOLBAR_DIVIDER_HEIGHT : 0;
}

RectI ClientRectOf(PlatformWindow* top) { return RectI{0, 0, top->client_width, top->client_height}; }

int ClientWidthOf(PlatformWindow* w) {
    if (!w->parent) return w->client_width;
    int width = w->rect.right - w->rect.left;
    return HasEdge(w) ? std::max(0, width - 4) : width;
}

// Visible along the chain of controls below the top level (the top's own visibility aside):
// whether the control's pixels belong in its top level's surface.
bool IsPaintable(PlatformWindow* w) {
    for (; w && w->parent; w = w->parent)
        if (!w->visible) return false;
    return w != nullptr;
}

// The part of the top level's client area a control may paint: its rectangle clipped by
// every ancestor's.
RectI VisibleRect(PlatformWindow* w) {
    RectI r = AbsoluteRect(w);
    for (PlatformWindow* p = w->parent; p && p->parent; p = p->parent) r = RectIntersect(r, AbsoluteRect(p));
    return RectIntersect(r, ClientRectOf(TopLevelOf(w)));
}

// ---- pixel helpers on a whole-client surface, each clipped to `clip` ----

void FillRect(Surface& s, RectI r, RectI clip, Colour colour) {
    RectI a = RectIntersect(RectIntersect(r, clip), RectI{0, 0, s.width, s.height});
    if (RectEmpty(a)) return;
    RasterFillBox(s, a.left, a.top, a.right - a.left, a.bottom - a.top, colour);
}

void BlitPixels(Surface& s, const uint32_t* src, int src_width, int src_height, int x, int y, RectI clip) {
    RasterBlitPart(s, Surface{src_width, src_height, src_width, const_cast<uint32_t*>(src)}, x, y, clip);
}

void DrawTextClipped(Surface& s, TextFont* font, int x, int y, const char* text, Colour colour, RectI clip) {
    if (!font || !text || !*text) return;
    RectI a = RectIntersect(clip, RectI{0, 0, s.width, s.height});
    if (RectEmpty(a)) return;
    // The view starts at the clip's corner, which the surface's change map knows nothing of:
    // the clip is marked as changed instead.
    Surface view{a.right - a.left, a.bottom - a.top, s.stride, s.pixels + (size_t)a.top * s.stride + a.left};
    DrawTextOnSurface(view, font, x - a.left, y - a.top, text, 0.0, colour, false, 0);
    if (s.changes) MarkRectChanged(*s.changes, a, NextChangeStamp());
}

// One ring of a sunken edge: top row and left column dark, bottom row and right column
// light; the light side takes the bottom-left and top-right corner pixels.
void DrawEdgeRing(Surface& s, RectI r, RectI clip, Colour dark, Colour light) {
    if (RectEmpty(r)) return;
    FillRect(s, RectI{r.left, r.top, r.right, r.top + 1}, clip, dark);
    FillRect(s, RectI{r.left, r.top, r.left + 1, r.bottom}, clip, dark);
    FillRect(s, RectI{r.left, r.bottom - 1, r.right, r.bottom}, clip, light);
    FillRect(s, RectI{r.right - 1, r.top, r.right, r.bottom}, clip, light);
}

void DrawSunkenEdge(Surface& s, RectI r, RectI clip) {
    DrawEdgeRing(s, r, clip, EDGE_OUTER_DARK, EDGE_OUTER_LIGHT);
    DrawEdgeRing(s, RectI{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1}, clip, EDGE_INNER_DARK, EDGE_INNER_LIGHT);
}

void DrawBorder(Surface& s, RectI r, RectI clip, Colour colour) { DrawEdgeRing(s, r, clip, colour, colour); }

int GuiLineHeight() {
    TextFont* font = DefaultGuiFont();
    return font ? FontLineHeight(font) : 13;
}

// ---- drop-down list pieces ----

RectI DropRect(PlatformWindow* list) {
    RectI r = AbsoluteRect(list);
    int rows = std::max(1, (int)list->items.size());
    int height = std::min(LIST_MAX_DROP_HEIGHT, rows * LIST_ITEM_HEIGHT + 2);
    return RectI{r.left, r.bottom, r.right, r.bottom + height};
}

int DropRows(PlatformWindow* list) {
    RectI d = DropRect(list);
    return std::max(1, (d.bottom - d.top - 2) / LIST_ITEM_HEIGHT);
}

void ScrollToHighlight(PlatformWindow* list) {
    int rows = DropRows(list);
    int count = (int)list->items.size();
    if (list->highlight >= 0) {
        if (list->highlight < list->first_visible) list->first_visible = list->highlight;
        if (list->highlight >= list->first_visible + rows) list->first_visible = list->highlight - rows + 1;
    }
    list->first_visible = std::max(0, std::min(list->first_visible, count - rows));
}

void PaintClosedList(Surface& s, PlatformWindow* list, RectI clip) {
    RectI r = AbsoluteRect(list);
    FillRect(s, r, clip, LIST_FIELD);
    DrawBorder(s, r, clip, LIST_BORDER);
    RectI arrow{std::max(r.left + 1, r.right - 1 - LIST_ARROW_WIDTH), r.top + 1, r.right - 1, r.bottom - 1};
    int cx = (arrow.left + arrow.right) / 2;
    int cy = (r.top + r.bottom) / 2 - 1;
    for (int i = 0; i < 4; ++i) {  // a small "v"
        FillRect(s, RectI{cx - 3 + i, cy + i, cx - 3 + i + 1, cy + i + 1}, clip, LIST_ARROW);
        FillRect(s, RectI{cx + 3 - i, cy + i, cx + 3 - i + 1, cy + i + 1}, clip, LIST_ARROW);
    }
    if (list->selection < 0 || list->selection >= (int)list->items.size()) return;
    RectI cell{r.left + 2, r.top + 2, arrow.left - 1, r.bottom - 2};
    Colour text_colour = LIST_TEXT;
    PlatformWindow* top = TopLevelOf(list);
    if (g.focus == list && top->open_list != list) {  // a focused closed list shows its choice highlighted
        FillRect(s, cell, clip, HIGHLIGHT);
        text_colour = HIGHLIGHT_TEXT;
    }
    int text_y = r.top + (r.bottom - r.top - GuiLineHeight()) / 2;
    DrawTextClipped(s, DefaultGuiFont(), r.left + 4, text_y, list->items[list->selection].text.c_str(), text_colour,
                    RectIntersect(clip, cell));
}

void PaintOpenList(PlatformWindow* top, RectI clip) {
    PlatformWindow* list = top->open_list;
    if (!list || top->shown.empty()) return;
    Surface s{top->client_width, top->client_height, top->client_width, top->shown.data()};
    RectI d = DropRect(list);
    clip = RectIntersect(clip, d);
    if (RectEmpty(clip)) return;
    FillRect(s, d, clip, LIST_FIELD);
    DrawBorder(s, d, clip, DROP_BORDER);
    int rows = DropRows(list);
    int line_height = GuiLineHeight();
    for (int k = 0; k < rows; ++k) {
        int index = list->first_visible + k;
        if (index >= (int)list->items.size()) break;
        RectI item{d.left + 1, d.top + 1 + k * LIST_ITEM_HEIGHT, d.right - 1, d.top + 1 + (k + 1) * LIST_ITEM_HEIGHT};
        Colour text_colour = LIST_TEXT;
        if (index == list->highlight) {
            FillRect(s, item, clip, HIGHLIGHT);
            text_colour = HIGHLIGHT_TEXT;
        }
        DrawTextClipped(s, DefaultGuiFont(), item.left + 3, item.top + (LIST_ITEM_HEIGHT - line_height) / 2,
                        list->items[index].text.c_str(), text_colour, RectIntersect(clip, item));
    }
}

// ---- painting controls into the top level's content ----

void PaintControl(Surface& s, PlatformWindow* c, RectI clip) {
    if (!c->visible) return;
    RectI r = AbsoluteRect(c);
    RectI area = RectIntersect(clip, r);
    if (RectEmpty(area)) return;
    PlatformWindow* top = TopLevelOf(c);
    RectI inner{r.left + 2, r.top + 2, r.right - 2, r.bottom - 2};
    switch (c->kind) {
    case WindowKind::TOOLBAR:
        // Flat, so transparent: only the divider is its own; its buttons are disabled
        // blanks that show nothing.
        FillRect(s, RectI{r.left, r.top, r.right, r.top + 1}, area, TOOLBAR_DIVIDER_SHADOW);
        FillRect(s, RectI{r.left, r.top + 1, r.right, r.top + TOOLBAR_DIVIDER_HEIGHT}, area, TOOLBAR_DIVIDER_LIGHT);
        FillRect(s, RectI{r.left, r.top + TOOLBAR_DIVIDER_HEIGHT, r.right, r.bottom}, area, top->background);
        break;
    case WindowKind::DROP_DOWN_LIST:
        PaintClosedList(s, c, area);
        break;
    case WindowKind::SUNKEN_FRAME:
        // Only the edge: whatever the parent drew inside stays visible.
        DrawSunkenEdge(s, r, area);
        break;
    case WindowKind::CANVAS:
        DrawSunkenEdge(s, r, area);
        BlitPixels(s, c->backing.data(), c->backing_width, c->backing_height, inner.left, inner.top,
                   RectIntersect(area, inner));
        break;
    case WindowKind::IMAGE_CONTROL:
        DrawSunkenEdge(s, r, area);
        if (c->image) {
            // Background only where the image does not cover the inside: the bands to its
            // right and below it.
            int image_right = inner.left + c->image->width, image_bottom = inner.top + c->image->height;
            FillRect(s, RectI{std::max(inner.left, image_right), inner.top, inner.right, inner.bottom}, area,
                     top->background);
            FillRect(s, RectI{inner.left, std::max(inner.top, image_bottom), std::min(inner.right, image_right),
                              inner.bottom},
                     area, top->background);
            BlitPixels(s, c->image->pixels.data(), c->image->width, c->image->height, inner.left, inner.top,
                       RectIntersect(area, inner));
        } else {
            FillRect(s, inner, area, top->background);
        }
        break;
    case WindowKind::MAIN:
        break;
    }
    for (PlatformWindow* child : c->children) PaintControl(s, child, area);
}

// Paints one control (and its children) where it stands and shows the result.
void PaintControlNow(PlatformWindow* c) {
    if (!IsLiveWindow(c) || !c->parent || !IsPaintable(c)) return;
    PlatformWindow* top = TopLevelOf(c);
    RectI area = VisibleRect(c);
    if (RectEmpty(area)) return;
    Surface s = ContentSurface(top);
    PaintControl(s, c, area);
    CanvasesOverdrawn(top, area, nullptr);
    // A canvas just painted whole shows its backing (unless children of its own cover it);
    // an image control its image, when nothing clips it.
    if (c->kind == WindowKind::CANVAS && c->children.empty()) c->backing_shown = true;
    if (c->kind == WindowKind::IMAGE_CONTROL && c->children.empty() && RectEqual(area, AbsoluteRect(c))) {
        c->painting_shown = c->image != nullptr;
        c->painted_image = c->image;
        c->painted_version = c->image ? c->image->content_version : 0;
    }
    SurfaceChanged(top, area);
}

// An image control shows its image again where the image's last drawing pass changed it;
// the rest of its painting is as it was.
void RepaintImagePart(PlatformWindow* c) {
    PlatformWindow* top = TopLevelOf(c);
    PlatformImage* image = c->image;
    RectI r = AbsoluteRect(c);
    RectI inner{r.left + 2, r.top + 2, r.right - 2, r.bottom - 2};
    RectI changed = image->last_changed;
    if (!RectEmpty(image->last_scroll)) {
        // The pass moved pixels: the same move here, when all it moves lies in view.
        const int dx = image->last_scroll_dx, dy = image->last_scroll_dy;
        const RectI to = RectOffset(image->last_scroll, inner.left, inner.top);
        const RectI from = RectOffset(to, -dx, -dy);
        if (RectEqual(VisibleRect(c), r) && RectEqual(RectIntersect(to, inner), to) &&
            RectEqual(RectIntersect(from, inner), from)) {
            Surface s = ContentSurface(top);
            const RectI moved = RasterMoveArea(s, from, dx, dy);
            CanvasesOverdrawn(top, moved, nullptr);
            SurfaceChanged(top, moved, true);
        } else {
            changed = RectUnion(changed, image->last_scroll);
        }
    }
    RectI part = RectIntersect(RectIntersect(RectOffset(changed, inner.left, inner.top), inner), VisibleRect(c));
    if (!RectEmpty(part)) {
        Surface s = ContentSurface(top);
        BlitPixels(s, image->pixels.data(), image->width, image->height, inner.left, inner.top, part);
        CanvasesOverdrawn(top, part, nullptr);
        SurfaceChanged(top, part, true);
    }
    c->painting_shown = true;
    c->painted_version = image->content_version;
}

// Erases `area` with the background and repaints every control over it, as Windows does
// for a part of a window that was uncovered or invalidated.
void RepaintArea(PlatformWindow* top, RectI area) {
    area = RectIntersect(area, ClientRectOf(top));
    if (RectEmpty(area)) return;
    Surface s = ContentSurface(top);
    FillRect(s, area, area, top->background);
    for (PlatformWindow* child : top->children) PaintControl(s, child, area);
    CanvasesOverdrawn(top, area, nullptr);
    SurfaceChanged(top, area);
}

void RepaintAll(PlatformWindow* top) { RepaintArea(top, ClientRectOf(top)); }

// ---- notifications, opening and closing the list ----

void Notify(PlatformWindow* control, int code) {
    if (!IsLiveWindow(control) || !IsLiveWindow(control->parent)) return;
    SendWindowMessage(control->parent, WM_COMMAND, (uintptr_t)((control->id & 0xFFFF) | (code << 16)),
                      (intptr_t)control);
}

// Takes the open list off the screen without telling anyone.
void HideDropList(PlatformWindow* top) {
    PlatformWindow* list = top->open_list;
    if (!list) return;
    RectI d = RectIntersect(DropRect(list), ClientRectOf(top));
    top->open_list = nullptr;
    top->shown.clear();
    top->shown.shrink_to_fit();
    if (!RectEmpty(d)) BackendPresent(top, d, false);
    PaintControlNow(list);
}

void OpenDropList(PlatformWindow* list) {
    PlatformWindow* top = TopLevelOf(list);
    if (top->open_list == list) return;
    if (top->open_list) HideDropList(top);
    Notify(list, CBN_DROPDOWN);
    if (!IsLiveWindow(list) || !IsPaintable(list) || top->open_list) return;
    list->highlight = list->selection;
    list->first_visible = 0;
    ScrollToHighlight(list);
    top->open_list = list;
    top->shown = top->content;
    RectI d = RectIntersect(DropRect(list), ClientRectOf(top));
    PaintOpenList(top, d);
    PaintControlNow(list);
    if (!RectEmpty(d)) BackendPresent(top, d, false);
}

void CancelDropList(PlatformWindow* list) {
    PlatformWindow* top = TopLevelOf(list);
    if (top->open_list != list) return;
    Notify(list, CBN_SELENDCANCEL);
    if (IsLiveWindow(list) && top->open_list == list) HideDropList(top);
    Notify(list, CBN_CLOSEUP);
}

void ChooseDropItem(PlatformWindow* list, int index) {
    PlatformWindow* top = TopLevelOf(list);
    if (top->open_list != list) return;
    bool changed = index != list->selection;
    list->selection = index;
    Notify(list, CBN_SELENDOK);
    if (IsLiveWindow(list) && top->open_list == list) HideDropList(top);
    Notify(list, CBN_CLOSEUP);
    if (changed) Notify(list, CBN_SELCHANGE);
}

void MoveListSelection(PlatformWindow* list, int step) {
    int count = (int)list->items.size();
    if (count == 0) return;
    int next = list->selection < 0 ? 0 : std::max(0, std::min(count - 1, list->selection + step));
    PlatformWindow* top = TopLevelOf(list);
    if (top->open_list == list) {
        list->highlight = next;
        ScrollToHighlight(list);
        RectI d = RectIntersect(DropRect(list), ClientRectOf(top));
        PaintOpenList(top, d);
        if (!RectEmpty(d)) BackendPresent(top, d, false);
    }
    if (next == list->selection) return;
    list->selection = next;
    PaintControlNow(list);
    Notify(list, CBN_SELCHANGE);
}

intptr_t PLATFORM_CALLBACK ToolbarProcedure(WindowRef w, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    // The toolbar hands its children's notifications on to its own parent.
    if (message == WM_COMMAND && IsLiveWindow(w->parent)) return SendWindowMessage(w->parent, message, wparam, lparam);
    return DefaultWindowProcedure(w, message, wparam, lparam);
}

intptr_t PLATFORM_CALLBACK ListProcedure(WindowRef w, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    PlatformWindow* top = TopLevelOf(w);
    switch (message) {
    case WM_LBUTTONDOWN:
        if (top->open_list == w) {
            CancelDropList(w);
            return 0;
        }
        if (g.focus != w) SetKeyboardFocus(w);
        if (IsLiveWindow(w)) OpenDropList(w);
        return 0;
    case WM_KEYDOWN:
        switch ((int)wparam) {
        case VK_UP: MoveListSelection(w, -1); break;
        case VK_DOWN: MoveListSelection(w, +1); break;
        case VK_ESCAPE:
            if (top->open_list == w) CancelDropList(w);
            break;
        case VK_RETURN:
            if (top->open_list == w) {
                if (w->highlight >= 0) ChooseDropItem(w, w->highlight);
                else CancelDropList(w);
            }
            break;
        case VK_F4_KEY:
            if (top->open_list == w) CancelDropList(w);
            else OpenDropList(w);
            break;
        }
        return 0;
    }
    return DefaultWindowProcedure(w, message, wparam, lparam);
}

intptr_t PLATFORM_CALLBACK ImageControlProcedure(WindowRef w, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message == STM_SETIMAGE_MESSAGE && wparam == IMAGE_BITMAP_TYPE) {
        PlatformImage* previous = w->image;
        w->image = (PlatformImage*)lparam;
        // The same image, not drawn on since it was painted here, over pixels nobody touched:
        // painting it again would change nothing (the history graph sets its image on every
        // value, and on a steady level draws nothing new).
        if (w->image && w->image == previous && w->painting_shown && w->painted_image == w->image &&
            w->painted_version == w->image->content_version && IsPaintable(w))
            return (intptr_t)previous;
        // Drawn on once since it was painted: only what that pass drew changes here.
        if (w->image && w->image == previous && w->painting_shown && w->painted_image == w->image &&
            w->painted_version == w->image->previous_version && IsPaintable(w) && w->children.empty()) {
            RepaintImagePart(w);
            return (intptr_t)previous;
        }
        if (w->image)
            MoveControl(w, w->rect.left, w->rect.top, w->image->width + 4, w->image->height + 4);
        PaintControlNow(w);
        return (intptr_t)previous;
    }
    if (message == STM_GETIMAGE_MESSAGE) return (intptr_t)w->image;
    return DefaultWindowProcedure(w, message, wparam, lparam);
}

PlatformWindow* CreateControl(WindowKind kind, int fault, WindowRef parent, int id, int x, int y, int width,
                              int height, WindowProcedure procedure) {
    if (!IsLiveWindow(parent) || CoreCreationFails(fault)) return nullptr;
    PlatformWindow* c = new PlatformWindow;
    c->kind = kind;
    c->parent = parent;
    c->id = id == -1 ? g.next_id++ : id;
    c->rect = RectI{x, y, x + std::max(0, width), y + std::max(0, height)};
    c->procedure = procedure;
    parent->children.push_back(c);
    return c;
}

PlatformWindow* HitTest(PlatformWindow* w, int x, int y) {
    for (auto it = w->children.rbegin(); it != w->children.rend(); ++it) {
        PlatformWindow* c = *it;
        if (!c->visible) continue;
        RectI r = AbsoluteRect(c);
        if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) return HitTest(c, x, y);
    }
    return w;
}

void MarkDead(PlatformWindow* w) {
    for (PlatformWindow* child : w->children) MarkDead(child);
    w->alive = false;
    ForgetWindowTimers(w);
    ForgetDrawingTarget(w, nullptr);
    if (g.focus == w) g.focus = nullptr;
    w->content.clear();
    w->content.shrink_to_fit();
    w->shown.clear();
    w->shown.shrink_to_fit();
    w->backing.clear();
    w->backing.shrink_to_fit();
    w->properties.clear();
    w->open_list = nullptr;
    g.graveyard.push_back(w);
}

MinMaxInfo DefaultMinMaxInfo() {
    MinMaxInfo info{};
    info.max_size = PointI{1920, 1080};
    info.max_position = PointI{0, 0};
    info.min_track_size = PointI{136, 39};
    info.max_track_size = PointI{1932, 1092};
    return info;
}

void ResizeClient(PlatformWindow* top, int width, int height) {
    if (width == top->client_width && height == top->client_height) return;
    HideDropList(top);
    CanvasesOverdrawn(top, RectI{0, 0, std::max(width, top->client_width), std::max(height, top->client_height)},
                      nullptr);
    std::vector<uint32_t> content((size_t)width * height, ToPixel(top->background));
    for (int y = 0; y < std::min(height, top->client_height); ++y)
        std::copy_n(top->content.data() + (size_t)y * top->client_width, std::min(width, top->client_width),
                    content.data() + (size_t)y * width);
    int old_width = top->client_width, old_height = top->client_height;
    top->content.swap(content);
    top->client_width = width;
    top->client_height = height;
    ResizeChangeMap(top->changes, width, height);
    if (width > old_width) RepaintArea(top, RectI{old_width, 0, width, height});
    if (height > old_height) RepaintArea(top, RectI{0, old_height, std::min(width, old_width), height});
}

void HideTopLevel(PlatformWindow* top) {
    if (!top->visible) return;
    HideDropList(top);
    top->visible = false;
    if (g.focus && TopLevelOf(g.focus) == top) g.focus = nullptr;
    BackendTopLevelShown(top, false);
}

void ShowTopLevel(PlatformWindow* top) {
    if (top->visible) return;
    top->visible = true;
    // Being shown, the window is erased and its controls repaint themselves; the program
    // draws its own parts again on its next pass.
    RepaintAll(top);
    BackendTopLevelShown(top, true);
    if (!g.focus || TopLevelOf(g.focus) != top) g.focus = top;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Core-internal services
// ---------------------------------------------------------------------------------------

PlatformWindow* TopLevelOf(PlatformWindow* window) {
    while (window && window->parent) window = window->parent;
    return window;
}

bool IsLiveWindow(PlatformWindow* window) { return window && window->alive.load(); }

RectI AbsoluteRect(PlatformWindow* window) {
    if (!window->parent) return RectI{0, 0, window->client_width, window->client_height};
    RectI r = window->rect;
    for (PlatformWindow* p = window->parent; p && p->parent; p = p->parent) {
        int inset_x, inset_y;
        ClientInset(p, &inset_x, &inset_y);
        r = RectOffset(r, p->rect.left + inset_x, p->rect.top + inset_y);
    }
    return r;
}

bool IsShownDeep(PlatformWindow* window) {
    for (PlatformWindow* w = window; w; w = w->parent)
        if (!w->visible) return false;
    return window != nullptr;
}

Surface ContentSurface(PlatformWindow* top) {
    SettleDrawingOver(top);
    return Surface{top->client_width, top->client_height, top->client_width, top->content.data(), &top->changes};
}

Surface BackingSurface(PlatformWindow* canvas) {
    return Surface{canvas->backing_width, canvas->backing_height, canvas->backing_width, canvas->backing.data(),
                   &canvas->changes};
}

void SurfaceChanged(PlatformWindow* top, RectI area, bool exact) {
    if (!IsLiveWindow(top)) return;
    area = RectIntersect(area, ClientRectOf(top));
    if (RectEmpty(area)) return;
    if (top->open_list && !top->shown.empty()) {
        // The open list floats above the window: the new pixels go under it. What is shown
        // then is not what the change map speaks of.
        for (int y = area.top; y < area.bottom; ++y) {
            size_t at = (size_t)y * top->client_width + area.left;
            std::copy_n(top->content.data() + at, area.right - area.left, top->shown.data() + at);
        }
        PaintOpenList(top, area);
        exact = false;
    }
    BackendPresent(top, area, exact);
}

TextFont* DefaultGuiFont() {
    if (!g.gui_font_tried) {
        g.gui_font_tried = true;
        g.gui_font = OpenTextFont("Arial", (8 * BackendDpi() + 36) / 72, 400);
    }
    return g.gui_font;
}

void ComposeCanvas(PlatformWindow* canvas, RectI area, uint64_t since) {
    if (!IsLiveWindow(canvas) || canvas->kind != WindowKind::CANVAS) return;
    if (!IsPaintable(canvas)) {
        // The backing changed unseen: when the canvas shows again it is painted whole.
        canvas->backing_shown = false;
        return;
    }
    PlatformWindow* top = TopLevelOf(canvas);
    RectI r = AbsoluteRect(canvas);
    RectI inner{r.left + 2, r.top + 2, r.right - 2, r.bottom - 2};
    RectI target = RectIntersect(RectIntersect(RectOffset(area, inner.left, inner.top), inner), VisibleRect(canvas));
    if (RectEmpty(target)) return;
    Surface s = ContentSurface(top);
    // Only the backing's tiles changed since `since` can differ from the window's pixels.
    const RectI part = RectOffset(target, -inner.left, -inner.top);
    ForEachChangedRun(canvas->changes, part, since, [&](const RectI& run) {
        BlitPixels(s, canvas->backing.data(), canvas->backing_width, canvas->backing_height, inner.left, inner.top,
                   RectOffset(run, inner.left, inner.top));
    });
    CanvasesOverdrawn(top, target, canvas);
    SurfaceChanged(top, target, true);
}

bool CanvasVisibleWhole(PlatformWindow* canvas, RectI backing_area) {
    return IsLiveWindow(canvas) && backing_area.left <= 0 && backing_area.top <= 0 &&
           backing_area.right >= canvas->backing_width && backing_area.bottom >= canvas->backing_height &&
           IsPaintable(canvas);
}

void CanvasesOverdrawn(PlatformWindow* top, RectI area, PlatformWindow* except) {
    if (RectEmpty(area)) return;
    struct Walk {
        static void Visit(PlatformWindow* w, const RectI& area, PlatformWindow* except) {
            for (PlatformWindow* c : w->children) {
                if (c->kind == WindowKind::CANVAS && c != except && c->backing_shown &&
                    !RectEmpty(RectIntersect(AbsoluteRect(c), area)))
                    c->backing_shown = false;
                if (c->kind == WindowKind::IMAGE_CONTROL && c->painting_shown &&
                    !RectEmpty(RectIntersect(AbsoluteRect(c), area)))
                    c->painting_shown = false;
                Visit(c, area, except);
            }
        }
    };
    Walk::Visit(top, area, except);
}

void ForgetImageInControls(PlatformImage* image) {
    struct Walk {
        static void Clear(PlatformWindow* w, PlatformImage* image) {
            if (w->image == image) w->image = nullptr;
            for (PlatformWindow* c : w->children) Clear(c, image);
        }
    };
    for (PlatformWindow* top : g.tops) Walk::Clear(top, image);
}

void CoreFailCreation(int kind, int successes) {
    if (kind >= 0 && kind < CORE_CREATE_KIND_COUNT) g.fail_after[kind] = successes < 0 ? -1 : successes;
}

bool CoreCreationFails(int kind) {
    if (kind < 0 || kind >= CORE_CREATE_KIND_COUNT || g.fail_after[kind] < 0) return false;
    if (g.fail_after[kind] == 0) return true;
    --g.fail_after[kind];
    return false;
}

void ResetWindows() {
    while (!g.tops.empty()) DestroyWindowTree(g.tops.back());
    g.focus = nullptr;
    g.next_id = FIRST_FRESH_ID;
    std::fill(std::begin(g.fail_after), std::end(g.fail_after), -1);
}

void CoreReset() {
    ResetDrawing();
    ResetWindows();
    ResetQueue();
}

SurfaceView TopLevelSurface(WindowRef top) {
    SurfaceView view;
    if (!IsLiveWindow(top) || top->parent) return view;
    view.width = top->client_width;
    view.height = top->client_height;
    view.stride = top->client_width;
    view.pixels = top->open_list && !top->shown.empty() ? top->shown.data() : top->content.data();
    return view;
}

uint64_t CoreChangeStamp() { return ChangeStampNow(); }

RectI ChangedPartOf(WindowRef top, const RectI& area, uint64_t since) {
    if (!IsLiveWindow(top) || top->parent) return RectI{0, 0, 0, 0};
    return ChangedBox(top->changes, area, since);
}

WindowRef FirstTopLevel() { return g.tops.empty() ? nullptr : g.tops.front(); }

// ---------------------------------------------------------------------------------------
// Input routing
// ---------------------------------------------------------------------------------------

void InjectKey(int virtual_key, bool down) {
    RecordKeyTransition(virtual_key, down);
    WindowRef target = IsLiveWindow(g.focus) ? g.focus : nullptr;
    if (!target) {
        for (PlatformWindow* top : g.tops)
            if (top->visible) {
                target = top;
                break;
            }
    }
    if (!target) return;
    CoreNoteInputDelivered();
    SendWindowMessage(target, down ? WM_KEYDOWN : WM_KEYUP, (uintptr_t)virtual_key,
                      down ? (intptr_t)1 : (intptr_t)(uint32_t)0xC0000001u);
}

void InjectMouseButton(WindowRef top, int x, int y, bool down) {
    if (!IsLiveWindow(top) || top->parent || !top->visible) return;
    CoreNoteInputDelivered();
    if (down && top->open_list) {
        PlatformWindow* list = top->open_list;
        RectI d = DropRect(list);
        if (x >= d.left && x < d.right && y >= d.top && y < d.bottom) {
            if (y >= d.top + 1 && y < d.bottom - 1) {
                int index = list->first_visible + (y - d.top - 1) / LIST_ITEM_HEIGHT;
                if (index < (int)list->items.size()) ChooseDropItem(list, index);
            }
            return;
        }
        CancelDropList(list);
        if (!IsLiveWindow(top)) return;
        // A click on the list's own field only closes it.
        if (IsLiveWindow(list) && HitTest(top, x, y) == list) return;
    }
    PlatformWindow* target = HitTest(top, x, y);
    if (down && target->kind != WindowKind::DROP_DOWN_LIST) {
        SetKeyboardFocus(top);
        if (!IsLiveWindow(target)) return;
    }
    RectI r = AbsoluteRect(target);
    int inset_x, inset_y;
    ClientInset(target, &inset_x, &inset_y);
    int client_x = x - r.left - inset_x, client_y = y - r.top - inset_y;
    SendWindowMessage(target, down ? WM_LBUTTONDOWN : WM_LBUTTONUP, down ? 1u : 0u,
                      (intptr_t)MakeLong(client_x, client_y));
}

void InjectCloseRequest(WindowRef top) {
    if (!IsLiveWindow(top)) return;
    CoreNoteInputDelivered();
    SendWindowMessage(top, WM_CLOSE, 0, 0);
}

// ---------------------------------------------------------------------------------------
// platform.h: windows
// ---------------------------------------------------------------------------------------

void InitControlLibrary() {}

WindowRef CreateMainWindow(const char* title, int x, int y, int client_width, int client_height, uint32_t style,
                           WindowProcedure procedure) {
    if (CoreCreationFails(CORE_CREATE_MAIN_WINDOW)) return nullptr;
    client_width = std::max(0, client_width);
    client_height = std::max(0, client_height);
    PlatformWindow* w = new PlatformWindow;
    w->kind = WindowKind::MAIN;
    w->title = title ? title : "";
    w->style = style;
    w->procedure = procedure;
    // The real window manager draws the decorations, so the frame is the client area.
    w->rect = RectI{x, y, x + client_width, y + client_height};
    w->client_width = client_width;
    w->client_height = client_height;
    w->content.assign((size_t)client_width * client_height, ToPixel(w->background));
    ResizeChangeMap(w->changes, client_width, client_height);
    g.tops.push_back(w);
    BackendTopLevelCreated(w, w->title.c_str(), client_width, client_height);
    BackendTopLevelShown(w, true);
    if (!IsLiveWindow(g.focus)) g.focus = w;
    MinMaxInfo info = DefaultMinMaxInfo();
    SendWindowMessage(w, WM_GETMINMAXINFO, 0, (intptr_t)&info);
    SendWindowMessage(w, WM_SIZE, 0, (intptr_t)MakeLong(client_width, client_height));
    if (IsLiveWindow(w)) BackendPresent(w, ClientRectOf(w), false);
    return w;
}

void SetWindowBackground(WindowRef window, Colour colour) {
    if (!IsLiveWindow(window)) return;
    PlatformWindow* top = TopLevelOf(window);
    top->background = colour & 0x00FFFFFFu;
    RepaintAll(top);
}

void DestroyWindowTree(WindowRef window) {
    if (!IsLiveWindow(window)) return;
    PlatformWindow* top = TopLevelOf(window);
    bool was_painted = window->parent && IsPaintable(window);
    RectI area = window->parent ? VisibleRect(window) : RectI{};
    if (top->open_list && IsAncestorOrSelf(window, top->open_list)) HideDropList(top);
    MarkDead(window);
    if (window->parent) {
        auto& siblings = window->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), window), siblings.end());
        if (was_painted && IsLiveWindow(top)) RepaintArea(top, area);
    } else {
        g.tops.erase(std::remove(g.tops.begin(), g.tops.end(), window), g.tops.end());
        BackendTopLevelDestroyed(window);
    }
}

bool GetWindowFrame(WindowRef window, RectI* frame) {
    if (!IsLiveWindow(window) || !frame) return false;
    if (!window->parent) {
        *frame = window->rect;
    } else {
        PlatformWindow* top = TopLevelOf(window);
        *frame = RectOffset(AbsoluteRect(window), top->rect.left, top->rect.top);
    }
    return true;
}

bool GetClientSize(WindowRef window, int* width, int* height) {
    if (!IsLiveWindow(window)) return false;
    int w, h;
    if (!window->parent) {
        w = window->client_width;
        h = window->client_height;
    } else {
        w = window->rect.right - window->rect.left;
        h = window->rect.bottom - window->rect.top;
        int inset_x, inset_y;
        ClientInset(window, &inset_x, &inset_y);
        w = std::max(0, w - 2 * inset_x);
        h = std::max(0, h - (HasEdge(window) ? 2 * inset_y : inset_y));
    }
    if (width) *width = w;
    if (height) *height = h;
    return true;
}

bool PlaceWindow(WindowRef window, const WindowPlacementRecord* placement) {
    if (!IsLiveWindow(window) || window->parent || !placement || placement->length != sizeof(WindowPlacementRecord))
        return false;
    MinMaxInfo info = DefaultMinMaxInfo();
    SendWindowMessage(window, WM_GETMINMAXINFO, 0, (intptr_t)&info);
    if (!IsLiveWindow(window)) return false;
    const RectI& normal = placement->normal_position;
    int width = std::max(info.min_track_size.x, std::min(info.max_track_size.x, normal.right - normal.left));
    int height = std::max(info.min_track_size.y, std::min(info.max_track_size.y, normal.bottom - normal.top));
    width = std::max(0, width);
    height = std::max(0, height);
    if (placement->show_command == SW_HIDE) HideTopLevel(window);
    window->rect = RectI{normal.left, normal.top, normal.left + width, normal.top + height};
    ResizeClient(window, width, height);
    SendWindowMessage(window, WM_SIZE, 0, (intptr_t)MakeLong(width, height));
    if (IsLiveWindow(window) && placement->show_command != SW_HIDE) ShowTopLevel(window);
    return true;
}

void ShowWindowAs(WindowRef window, int show_command) {
    if (!IsLiveWindow(window)) return;
    if (window->parent) {
        ShowControl(window, show_command != SW_HIDE);
        return;
    }
    if (show_command == SW_HIDE) HideTopLevel(window);
    else ShowTopLevel(window);
}

bool IsWindowShown(WindowRef window) { return IsLiveWindow(window) && IsShownDeep(window); }

void MoveControl(WindowRef control, int x, int y, int width, int height) {
    if (!IsLiveWindow(control) || !control->parent) return;
    RectI next{x, y, x + std::max(0, width), y + std::max(0, height)};
    if (RectEqual(next, control->rect)) return;  // nothing moves, nothing is repainted
    PlatformWindow* top = TopLevelOf(control);
    bool painted = IsPaintable(control);
    RectI before = VisibleRect(control);
    if (top->open_list && IsAncestorOrSelf(control, top->open_list)) HideDropList(top);
    control->rect = next;
    if (control->kind == WindowKind::CANVAS) {
        int bw = std::max(0, next.right - next.left - 4), bh = std::max(0, next.bottom - next.top - 4);
        if (bw != control->backing_width || bh != control->backing_height) {
            std::vector<uint32_t> backing((size_t)bw * bh, PIXEL_OPAQUE);
            for (int row = 0; row < std::min(bh, control->backing_height); ++row)
                std::copy_n(control->backing.data() + (size_t)row * control->backing_width,
                            std::min(bw, control->backing_width), backing.data() + (size_t)row * bw);
            control->backing.swap(backing);
            ResizeChangeMap(control->changes, bw, bh);
            control->backing_width = bw;
            control->backing_height = bh;
            for (BlitMemo& memo : control->blit_memos) memo = BlitMemo{};
        }
    }
    if (!painted) return;
    RectI after = AbsoluteRect(control);
    // The uncovered parts of the old place: up to four bands around the overlap.
    RectI overlap = RectIntersect(before, after);
    if (RectEmpty(overlap)) {
        RepaintArea(top, before);
    } else {
        RepaintArea(top, RectI{before.left, before.top, before.right, overlap.top});
        RepaintArea(top, RectI{before.left, overlap.bottom, before.right, before.bottom});
        RepaintArea(top, RectI{before.left, overlap.top, overlap.left, overlap.bottom});
        RepaintArea(top, RectI{overlap.right, overlap.top, before.right, overlap.bottom});
    }
    PaintControlNow(control);
}

bool GetControlRect(WindowRef control, RectI* rect) {
    if (!IsLiveWindow(control) || !control->parent || !rect) return false;
    *rect = control->rect;
    return true;
}

void ShowControl(WindowRef control, bool visible) {
    if (!IsLiveWindow(control)) return;
    if (!control->parent) {
        ShowWindowAs(control, visible ? SW_SHOWNORMAL : SW_HIDE);
        return;
    }
    if (control->visible == visible) return;
    PlatformWindow* top = TopLevelOf(control);
    if (visible) {
        control->visible = true;
        PaintControlNow(control);
        return;
    }
    bool painted = IsPaintable(control);
    RectI area = VisibleRect(control);
    if (top->open_list && IsAncestorOrSelf(control, top->open_list)) HideDropList(top);
    control->visible = false;
    if (painted) RepaintArea(top, area);
    if (g.focus && IsAncestorOrSelf(control, g.focus)) SetKeyboardFocus(top);
}

bool IsControlVisible(WindowRef control) { return IsLiveWindow(control) && IsShownDeep(control); }

int GetControlId(WindowRef control) { return IsLiveWindow(control) ? control->id : 0; }

WindowRef FindControl(WindowRef parent, int id) {
    if (!IsLiveWindow(parent)) return nullptr;
    for (PlatformWindow* c : parent->children)
        if (c->id == id) return c;
    return nullptr;
}

WindowRef GetParentWindow(WindowRef window) { return IsLiveWindow(window) ? window->parent : nullptr; }

void SetKeyboardFocus(WindowRef window) {
    if (window && !IsLiveWindow(window)) return;
    PlatformWindow* old = IsLiveWindow(g.focus) ? g.focus : nullptr;
    if (old == window) return;
    g.focus = window;
    if (old && old->kind == WindowKind::DROP_DOWN_LIST) {
        CancelDropList(old);  // does nothing unless its list is open
        PaintControlNow(old);
        Notify(old, CBN_KILLFOCUS);
    }
    if (IsLiveWindow(window) && g.focus == window && window->kind == WindowKind::DROP_DOWN_LIST) {
        PaintControlNow(window);
        Notify(window, CBN_SETFOCUS);
    }
}

WindowRef GetKeyboardFocus() { return IsLiveWindow(g.focus) ? g.focus : nullptr; }

// ---- toolbar ----

WindowRef MakeToolbar(WindowRef parent) {
    if (!IsLiveWindow(parent)) return nullptr;
    PlatformWindow* t = CreateControl(WindowKind::TOOLBAR, CORE_CREATE_TOOLBAR, parent, -1, 0, 0,
                                      ClientWidthOf(parent), TOOLBAR_HEIGHT, ToolbarProcedure);
    if (t) PaintControlNow(t);
    return t;
}

int ToolbarButtonCount(WindowRef toolbar) {
    return IsLiveWindow(toolbar) && toolbar->kind == WindowKind::TOOLBAR ? (int)toolbar->button_images.size() : 0;
}

void ToolbarInsertBlankButton(WindowRef toolbar, int index, int image_index) {
    if (!IsLiveWindow(toolbar) || toolbar->kind != WindowKind::TOOLBAR) return;
    int count = (int)toolbar->button_images.size();
    index = std::max(0, std::min(count, index));
    toolbar->button_images.insert(toolbar->button_images.begin() + index, image_index);
}

bool ToolbarItemRect(WindowRef toolbar, int index, RectI* rect) {
    if (!IsLiveWindow(toolbar) || toolbar->kind != WindowKind::TOOLBAR || !rect) return false;
    if (index < 0 || index >= (int)toolbar->button_images.size()) return false;
    *rect = RectI{index * TOOLBAR_BUTTON_WIDTH, TOOLBAR_BUTTON_TOP, (index + 1) * TOOLBAR_BUTTON_WIDTH,
                  TOOLBAR_BUTTON_TOP + TOOLBAR_BUTTON_HEIGHT};
    return true;
}

void ToolbarAutosize(WindowRef toolbar) {
    if (!IsLiveWindow(toolbar) || toolbar->kind != WindowKind::TOOLBAR) return;
    MoveControl(toolbar, 0, 0, ClientWidthOf(toolbar->parent), TOOLBAR_HEIGHT);
}

// ---- drop-down list ----

WindowRef CreateDropDownList(WindowRef parent, int id, int x, int y, int width, int height) {
    PlatformWindow* list =
        CreateControl(WindowKind::DROP_DOWN_LIST, CORE_CREATE_LIST, parent, id, x, y, width, height, ListProcedure);
    if (list) PaintControlNow(list);
    return list;
}

namespace {
bool IsList(WindowRef w) { return IsLiveWindow(w) && w->kind == WindowKind::DROP_DOWN_LIST; }

void RefreshList(PlatformWindow* list) {
    PlatformWindow* top = TopLevelOf(list);
    if (top->open_list == list) {
        ScrollToHighlight(list);
        RectI d = RectIntersect(DropRect(list), ClientRectOf(top));
        PaintOpenList(top, d);
        if (!RectEmpty(d)) BackendPresent(top, d, false);
    }
    PaintControlNow(list);
}
}  // namespace

int ListAddItem(WindowRef list, const char* text) {
    if (!IsList(list)) return -1;
    list->items.push_back(ListItem{text ? text : "", 0});
    PlatformWindow* top = TopLevelOf(list);
    if (top->open_list == list) {
        // The open list grows: what it now covers must be kept too.
        HideDropList(top);
        OpenDropList(list);
    }
    return (int)list->items.size() - 1;
}

void ListSetItemData(WindowRef list, int index, intptr_t data) {
    if (IsList(list) && index >= 0 && index < (int)list->items.size()) list->items[index].data = data;
}

intptr_t ListGetItemData(WindowRef list, int index) {
    if (IsList(list) && index >= 0 && index < (int)list->items.size()) return list->items[index].data;
    return -1;
}

int ListItemCount(WindowRef list) { return IsList(list) ? (int)list->items.size() : 0; }

bool ListGetItemText(WindowRef list, int index, char* text, int size) {
    if (!IsList(list) || index < 0 || index >= (int)list->items.size()) return false;
    if (!text || size <= 0) return true;
    const std::string& item = list->items[index].text;
    size_t n = std::min(item.size(), (size_t)size - 1);
    std::memcpy(text, item.data(), n);
    text[n] = '\0';
    return true;
}

void ListSelect(WindowRef list, int index) {
    if (!IsList(list)) return;
    list->selection = index >= 0 && index < (int)list->items.size() ? index : -1;
    list->highlight = list->selection;
    RefreshList(list);
}

int ListSelection(WindowRef list) { return IsList(list) ? list->selection : -1; }

void ListClear(WindowRef list) {
    if (!IsList(list)) return;
    PlatformWindow* top = TopLevelOf(list);
    // An open list would keep showing what is gone; it closes without a notification.
    if (top->open_list == list) HideDropList(top);
    list->items.clear();
    list->selection = -1;
    list->highlight = -1;
    list->first_visible = 0;
    PaintControlNow(list);
}

// ---- frame, canvas, image control ----

WindowRef CreateSunkenFrame(WindowRef parent, int id, int x, int y, int width, int height) {
    PlatformWindow* frame = CreateControl(WindowKind::SUNKEN_FRAME, CORE_CREATE_FRAME, parent, id, x, y, width,
                                          height, DefaultWindowProcedure);
    if (frame) PaintControlNow(frame);
    return frame;
}

WindowRef CreateCanvas(WindowRef parent, int id, int x, int y, int width, int height) {
    PlatformWindow* canvas =
        CreateControl(WindowKind::CANVAS, CORE_CREATE_CANVAS, parent, id, x, y, width, height, DefaultWindowProcedure);
    if (!canvas) return nullptr;
    canvas->backing_width = std::max(0, width - 4);
    canvas->backing_height = std::max(0, height - 4);
    canvas->backing.assign((size_t)canvas->backing_width * canvas->backing_height, PIXEL_OPAQUE);
    ResizeChangeMap(canvas->changes, canvas->backing_width, canvas->backing_height);
    PaintControlNow(canvas);
    return canvas;
}

WindowRef CreateImageControl(WindowRef parent, int id, int x, int y, int width, int height) {
    PlatformWindow* c = CreateControl(WindowKind::IMAGE_CONTROL, CORE_CREATE_IMAGE_CONTROL, parent, id, x, y, width,
                                      height, ImageControlProcedure);
    if (c) PaintControlNow(c);
    return c;
}

void SetControlImage(WindowRef control, ImageRef image) {
    // Through the current procedure, so that a procedure put in its place sees it.
    if (IsLiveWindow(control)) SendWindowMessage(control, STM_SETIMAGE_MESSAGE, IMAGE_BITMAP_TYPE, (intptr_t)image);
}

// ---- procedures, properties, user data ----

WindowProcedure ReplaceWindowProcedure(WindowRef window, WindowProcedure procedure) {
    if (!IsLiveWindow(window)) return nullptr;
    WindowProcedure previous = window->procedure;
    window->procedure = procedure;
    return previous;
}

intptr_t CallWindowProcedure(WindowProcedure procedure, WindowRef window, uint32_t message, uintptr_t wparam,
                             intptr_t lparam) {
    return procedure ? procedure(window, message, wparam, lparam) : 0;
}

intptr_t DefaultWindowProcedure(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    // As on Windows, an unhandled close request destroys the window.
    if (message == WM_CLOSE && IsLiveWindow(window) && !window->parent) DestroyWindowTree(window);
    return 0;
}

void SetWindowProperty(WindowRef window, const char* name, void* value) {
    if (IsLiveWindow(window) && name) window->properties[name] = value;
}

void* GetWindowProperty(WindowRef window, const char* name) {
    if (!IsLiveWindow(window) || !name) return nullptr;
    auto it = window->properties.find(name);
    return it == window->properties.end() ? nullptr : it->second;
}

void* RemoveWindowProperty(WindowRef window, const char* name) {
    if (!IsLiveWindow(window) || !name) return nullptr;
    auto it = window->properties.find(name);
    if (it == window->properties.end()) return nullptr;
    void* value = it->second;
    window->properties.erase(it);
    return value;
}

void SetWindowUserData(WindowRef window, intptr_t data) {
    if (IsLiveWindow(window)) window->user_data = data;
}

intptr_t GetWindowUserData(WindowRef window) { return IsLiveWindow(window) ? window->user_data : 0; }
