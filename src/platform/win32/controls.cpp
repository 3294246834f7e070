// The controls korvelt puts on its window, on COMCTL32 and USER32: MakeToolbar ...
// ToolbarAutosize, CreateDropDownList ... ListSelection, CreateSunkenFrame, CreateCanvas,
// CreateImageControl and SetControlImage.
#include "platform/win32/backend.h"

namespace {

const char CANVAS_CLASS[] = "KorveltCanvas";
// The image an image control shows, for painting it enlarged.
const char IMAGE_PROPERTY[] = "korvelt.image";
// The drop-down list's open height, in program pixels.
constexpr int OPEN_LIST_HEIGHT = 350;

struct ControlsState {
    ATOM canvas_class = 0;
    WNDPROC static_procedure = nullptr;   // the STATIC class's own procedure, under our frames
    WNDPROC image_static_procedure = nullptr;   // and under image controls that we paint
};
ControlsState controls_state;

// A child at (x, y), width x height in program pixels. While scaling is active it is made N
// times the size, it remembers its place for another scale, and a sunken client edge is left
// to us to draw N times as thick (UseOwnEdge, once its procedure can draw it).
HWND MakeChild(DWORD ex_style, const char* class_name, DWORD style, WindowRef parent, int id, int x, int y,
               int width, int height) {
    HWND parent_hwnd = AsHwnd(parent);
    if (!parent_hwnd) return nullptr;
    NoteLayoutChange();
    const int n = DisplayScale();
    if (ScalingActive()) ex_style &= ~static_cast<DWORD>(WS_EX_CLIENTEDGE);
    HWND child = CreateWindowExA(ex_style, class_name, "", WS_CHILD | WS_VISIBLE | style, n * x, n * y, n * width,
                                 n * height, parent_hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 ProgramInstance(), nullptr);
    if (child && ScalingActive()) RememberPlace(child, x, y, width, height);
    return child;
}

int WindowHeight(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    return r.bottom - r.top;
}

// A sunken frame only outlines what the program draws on the main window beneath it, so
// it must never paint its inside: painting only validates, erasing does nothing.
LRESULT CALLBACK SunkenFrameProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LRESULT edge;
    if (HandleOwnEdge(window, message, wparam, lparam, &edge)) return edge;
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        GDI_CALL(BeginPaint(window, &paint));
        GDI_CALL(EndPaint(window, &paint));
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    default:
        return CallWindowProcA(controls_state.static_procedure, window, message, wparam, lparam);
    }
}

LRESULT CALLBACK CanvasProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LRESULT edge;
    if (HandleOwnEdge(window, message, wparam, lparam, &edge)) return edge;
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = GDI_CALL(BeginPaint(window, &paint));
        PlatformImage* image = CanvasImage(window);
        if (dc && image) {
            CopyToScreen(dc, image, ProgramRect(paint.rcPaint));
            NoteShown(image, ProgramRectInside(paint.rcPaint));
        }
        GDI_CALL(EndPaint(window, &paint));
        NoteGdiWork();
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;   // the backing bitmap covers the whole inside
    case WM_SIZE: {
        // Keep the backing bitmap the inner size, carrying over what it showed.
        PlatformImage* old = CanvasImage(window);
        int width = LOWORD(lparam) / DisplayScale(), height = HIWORD(lparam) / DisplayScale();
        if (old && (old->width != width || old->height != height) && width > 0 && height > 0) {
            if (DrawingOnImage(old)) EndDrawing();
            if (PlatformImage* grown = NewImage(width, height, 32)) {
                FlushGdiWork();
                Surface to = grown->View();
                RasterBlit(to, old->View(), 0, 0);
                SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(grown));
                DeleteImage(old);
                NoteLayoutChange();
            }
        }
        return 0;
    }
    case WM_NCDESTROY:
        DeleteImage(CanvasImage(window));
        SetWindowLongPtrA(window, 0, 0);
        NoteLayoutChange();
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// An image control while scaling is active: its image shown enlarged, our own edge around it.
LRESULT CALLBACK ImageControlProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LRESULT edge;
    if (HandleOwnEdge(window, message, wparam, lparam, &edge)) return edge;
    PlatformImage* image = message == WM_ERASEBKGND || message == WM_PAINT ? ControlImage(window) : nullptr;
    if (message == WM_ERASEBKGND && image) return 1;   // the image covers the whole inside
    if (message == WM_PAINT && image) {
        PAINTSTRUCT paint;
        HDC dc = GDI_CALL(BeginPaint(window, &paint));
        if (dc) EnlargeToScreen(dc, image->View(), ProgramRect(paint.rcPaint));
        GDI_CALL(EndPaint(window, &paint));
        return 0;
    }
    return CallWindowProcA(controls_state.image_static_procedure, window, message, wparam, lparam);
}

}  // namespace

PlatformImage* ControlImage(HWND control) {
    // SetControlImage keeps it up to date; an image released since is not painted from.
    PlatformImage* image = static_cast<PlatformImage*>(GetPropA(control, IMAGE_PROPERTY));
    return ImageAlive(image) ? image : nullptr;
}

void FitClosedListHeight(HWND list, int height) {
    LRESULT field = SendMessageA(list, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    if (field == CB_ERR) return;
    // Each step corrects the height asked for before by what the control still lacks: what
    // the control reads back may not be what it was given (Wine adds 2 to it).
    LRESULT asked = field;
    for (int attempt = 0; attempt < 8; ++attempt) {
        int difference = height - WindowHeight(list);
        if (difference == 0) break;
        if (asked + difference < 1) break;
        asked += difference;
        SendMessageA(list, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), asked);
    }
}

bool IsSunkenFrame(HWND window) {
    return reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC)) == SunkenFrameProcedure;
}

PlatformImage* CanvasImage(HWND canvas) {
    if (!controls_state.canvas_class || !IsWindow(canvas) ||
        GetClassWord(canvas, GCW_ATOM) != controls_state.canvas_class)
        return nullptr;
    return reinterpret_cast<PlatformImage*>(GetWindowLongPtrA(canvas, 0));
}

// ---------------------------------------------------------------------------------------
// Toolbar
// ---------------------------------------------------------------------------------------

WindowRef MakeToolbar(WindowRef parent) {
    HWND toolbar = MakeChild(0, TOOLBARCLASSNAMEA, TBSTYLE_FLAT | TBSTYLE_TOOLTIPS, parent, ResolveControlId(-1),
                             0, 0, 0, 0);
    if (!toolbar) return nullptr;
    SendMessageA(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageA(toolbar, TB_AUTOSIZE, 0, 0);
    if (ScalingActive()) {
        // comctl32 sizes its buttons and the bar for 96 dpi at any scale: the program's are
        // made N times that (the bar too, or the lists on it would be cut off at its edge).
        LRESULT button = SendMessageA(toolbar, TB_GETBUTTONSIZE, 0, 0);
        RememberToolbarButtons(toolbar, LOWORD(button), HIWORD(button), WindowHeight(toolbar));
        SizeToolbarButtons(toolbar);
        SendMessageA(toolbar, TB_AUTOSIZE, 0, 0);
    }
    return AsWindowRef(toolbar);
}

int ToolbarButtonCount(WindowRef toolbar) {
    return static_cast<int>(SendMessageA(AsHwnd(toolbar), TB_BUTTONCOUNT, 0, 0));
}

void ToolbarInsertBlankButton(WindowRef toolbar, int index, int image_index) {
    TBBUTTON button = {};
    button.iBitmap = image_index;
    button.idCommand = 0;
    button.fsState = 0;   // not enabled
    button.fsStyle = 0;   // plain button
    SendMessageA(AsHwnd(toolbar), TB_INSERTBUTTONA, index, reinterpret_cast<LPARAM>(&button));
    NoteLayoutChange();
}

bool ToolbarItemRect(WindowRef toolbar, int index, RectI* rect) {
    RECT r;
    if (!rect || !SendMessageA(AsHwnd(toolbar), TB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&r)))
        return false;
    r = ProgramRect(r);
    *rect = {r.left, r.top, r.right, r.bottom};
    return true;
}

void ToolbarAutosize(WindowRef toolbar) {
    SendMessageA(AsHwnd(toolbar), TB_AUTOSIZE, 0, 0);
    NoteLayoutChange();
}

// ---------------------------------------------------------------------------------------
// Drop-down list
// ---------------------------------------------------------------------------------------

WindowRef CreateDropDownList(WindowRef parent, int id, int x, int y, int width, int height) {
    // Made 350 tall, which is the height of the open list; the closed control's height
    // comes from its selection field, which is then sized until the control is `height`.
    HWND list = MakeChild(0, WC_COMBOBOXA, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP | WS_BORDER, parent,
                          ResolveControlId(id), x, y, width, OPEN_LIST_HEIGHT);
    if (!list) return nullptr;
    // What is remembered is the closed height, which the list is fitted to at any scale.
    if (ScalingActive()) RememberPlace(list, x, y, width, height);
    SendMessageA(list, WM_SETFONT, reinterpret_cast<WPARAM>(ControlFont()), FALSE);
    FitClosedListHeight(list, DisplayScale() * height);
    return AsWindowRef(list);
}

int ListAddItem(WindowRef list, const char* text) {
    return static_cast<int>(SendMessageA(AsHwnd(list), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text ? text : "")));
}

void ListSetItemData(WindowRef list, int index, intptr_t data) {
    SendMessageA(AsHwnd(list), CB_SETITEMDATA, index, data);
}

intptr_t ListGetItemData(WindowRef list, int index) {
    return SendMessageA(AsHwnd(list), CB_GETITEMDATA, index, 0);
}

int ListItemCount(WindowRef list) {
    return static_cast<int>(SendMessageA(AsHwnd(list), CB_GETCOUNT, 0, 0));
}

bool ListGetItemText(WindowRef list, int index, char* text, int size) {
    HWND hwnd = AsHwnd(list);
    LRESULT length = SendMessageA(hwnd, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR || !text || size <= 0) return false;
    // CB_GETLBTEXT knows no buffer size, so read the whole text and cut it here.
    char* whole = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length + 1));
    if (!whole) return false;
    bool ok = SendMessageA(hwnd, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(whole)) != CB_ERR;
    if (ok) lstrcpynA(text, whole, size);
    HeapFree(GetProcessHeap(), 0, whole);
    return ok;
}

void ListClear(WindowRef list) {
    SendMessageA(AsHwnd(list), CB_RESETCONTENT, 0, 0);
}

void ListSelect(WindowRef list, int index) {
    SendMessageA(AsHwnd(list), CB_SETCURSEL, index, 0);
}

int ListSelection(WindowRef list) {
    LRESULT selection = SendMessageA(AsHwnd(list), CB_GETCURSEL, 0, 0);
    return selection == CB_ERR ? -1 : static_cast<int>(selection);
}

// ---------------------------------------------------------------------------------------
// Sunken frame, canvas, image control
// ---------------------------------------------------------------------------------------

WindowRef CreateSunkenFrame(WindowRef parent, int id, int x, int y, int width, int height) {
    HWND frame = MakeChild(WS_EX_CLIENTEDGE, "STATIC", 0, parent, ResolveControlId(id), x, y, width, height);
    if (!frame) return nullptr;
    WNDPROC previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(frame, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SunkenFrameProcedure)));
    if (!controls_state.static_procedure) controls_state.static_procedure = previous;
    if (ScalingActive()) UseOwnEdge(frame);
    GDI_CALL(InvalidateRect(frame, nullptr, FALSE));
    return AsWindowRef(frame);
}

WindowRef CreateCanvas(WindowRef parent, int id, int x, int y, int width, int height) {
    if (!controls_state.canvas_class) {
        WNDCLASSEXA canvas_class = {};
        canvas_class.cbSize = sizeof(canvas_class);
        canvas_class.lpfnWndProc = CanvasProcedure;
        canvas_class.cbWndExtra = sizeof(PlatformImage*);
        canvas_class.hInstance = ProgramInstance();
        canvas_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
        canvas_class.lpszClassName = CANVAS_CLASS;
        controls_state.canvas_class = RegisterClassExA(&canvas_class);
        if (!controls_state.canvas_class) return nullptr;
    }
    HWND canvas = MakeChild(WS_EX_CLIENTEDGE, CANVAS_CLASS, 0, parent, ResolveControlId(id), x, y, width, height);
    if (!canvas) return nullptr;
    if (ScalingActive()) UseOwnEdge(canvas);
    RECT inside;
    GetClientRect(canvas, &inside);
    inside.right /= DisplayScale();
    inside.bottom /= DisplayScale();
    PlatformImage* image = NewImage(inside.right > 0 ? inside.right : 1, inside.bottom > 0 ? inside.bottom : 1, 32);
    if (!image) {
        DestroyWindow(canvas);
        return nullptr;
    }
    SetWindowLongPtrA(canvas, 0, reinterpret_cast<LONG_PTR>(image));
    GDI_CALL(InvalidateRect(canvas, nullptr, FALSE));
    return AsWindowRef(canvas);
}

WindowRef CreateImageControl(WindowRef parent, int id, int x, int y, int width, int height) {
    HWND control = MakeChild(WS_EX_CLIENTEDGE, "STATIC", SS_BITMAP, parent, ResolveControlId(id), x, y, width, height);
    if (control && ScalingActive()) {
        // The static shows a bitmap at its own size: an enlarged one is shown by us.
        WNDPROC previous = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ImageControlProcedure)));
        if (!controls_state.image_static_procedure) controls_state.image_static_procedure = previous;
        UseOwnEdge(control);
    }
    return AsWindowRef(control);
}

void SetControlImage(WindowRef control, ImageRef image) {
    HWND hwnd = AsHwnd(control);
    if (!IsWindow(hwnd)) return;
    HBITMAP bitmap = image ? image->bitmap : nullptr;
    const int n = DisplayScale();
    if (image) {
        // The control shows this very bitmap already, at its size: only its new pixels need
        // showing, and they go straight to the screen. Going through the control (a new
        // image, a repaint with its erase) costs the history graph more than all the rest
        // of a tick.
        RECT inner;
        HBITMAP current = reinterpret_cast<HBITMAP>(SendMessageA(hwnd, STM_GETIMAGE, IMAGE_BITMAP, 0));
        if (current == bitmap && GetClientRect(hwnd, &inner) && inner.right == n * image->width &&
            inner.bottom == n * image->height) {
            ShowImageOn(hwnd, image);
            return;
        }
    }
    if (ScalingActive()) {
        if (image) SetPropA(hwnd, IMAGE_PROPERTY, image);
        else RemovePropA(hwnd, IMAGE_PROPERTY);
    }
    GDI_CALL(SendMessageA(hwnd, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
    if (image) {
        // The control's size is the image's plus its edge, whatever the static made of it.
        RECT outer, inner;
        GetWindowRect(hwnd, &outer);
        GetClientRect(hwnd, &inner);
        int edge_x = (outer.right - outer.left) - inner.right;
        int edge_y = (outer.bottom - outer.top) - inner.bottom;
        if (inner.right != n * image->width || inner.bottom != n * image->height) {
            GDI_CALL(SetWindowPos(hwnd, nullptr, 0, 0, n * image->width + edge_x, n * image->height + edge_y,
                                  SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE));
            NoteLayoutChange();
        }
    }
    // Setting the very same bitmap again must still show its new pixels, at once.
    GDI_CALL(RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW));
    NoteGdiWork();
}
