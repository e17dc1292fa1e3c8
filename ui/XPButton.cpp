#include "XPButton.h"

#include "Dialog.h"

#include <commctrl.h>

#include <algorithm>

namespace {

const char kObjectProperty[] = "Velmaro.CXPButton";
constexpr int kShades = 64;
constexpr int kTextLimit = 260;

HPEN makePen(int width, COLORREF colour)
{
    return CreatePen(PS_INSIDEFRAME, width, colour);
}

void line(HDC dc, HPEN pen, int fromX, int fromY, int toX, int toY)
{
    SelectObject(dc, pen);
    MoveToEx(dc, fromX, fromY, nullptr);
    LineTo(dc, toX, toY);
}

} // namespace

CXPButton::CXPButton()
    : outlinePen(makePen(1, RGB(0, 0, 0))),
      hotLeftPen(makePen(3, RGB(250, 196, 88))),
      hotRightPen(makePen(3, RGB(251, 202, 106))),
      hotTopPen(makePen(2, RGB(252, 210, 121))),
      hotBottomPen(makePen(2, RGB(229, 151, 0))),
      focusLeftPen(makePen(3, RGB(153, 198, 252))),
      focusRightPen(makePen(3, RGB(162, 189, 252))),
      focusTopPen(makePen(2, RGB(162, 201, 255))),
      focusBottomPen(makePen(2, RGB(162, 201, 255)))
{
}

CXPButton::~CXPButton()
{
    unsubclass();
    for (HPEN pen : {outlinePen, hotLeftPen, hotRightPen, hotTopPen, hotBottomPen, focusLeftPen, focusRightPen,
                     focusTopPen, focusBottomPen})
        DeleteObject(pen);
}

bool CXPButton::SubclassDlgItem(int id, HWND dialog)
{
    HWND control = GetDlgItem(dialog, id);
    if (!control || hwnd)
        return false;
    hwnd = control;
    SetPropA(hwnd, kObjectProperty, this);
    buttonProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CXPButton::windowProc)));
    PreSubclassWindow();
    return true;
}

void CXPButton::PreSubclassWindow()
{
    // The type bits of a push button are zero or one (default): adding the
    // owner-draw type keeps the button and hands its painting to us.
    LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    SetWindowLongPtrW(hwnd, GWL_STYLE, style | BS_OWNERDRAW);
}

void CXPButton::unsubclass()
{
    if (!hwnd)
        return;
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(buttonProc));
    RemovePropA(hwnd, kObjectProperty);
    hwnd = nullptr;
}

LRESULT CALLBACK CXPButton::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* button = static_cast<CXPButton*>(GetPropA(window, kObjectProperty));
    if (!button)
        return DefWindowProcW(window, message, wParam, lParam);
    return button->handle(message, wParam, lParam);
}

// Asked of the system rather than remembered: a request made while the
// pointer is no longer over the button is granted in name only (no hover
// and no leave ever follow), and a flag of our own would then refuse every
// later request while the pointer rests on the button.
bool CXPButton::tracksTheMouse() const
{
    TRACKMOUSEEVENT current{sizeof current, TME_QUERY, nullptr, 0};
    return _TrackMouseEvent(&current) && current.hwndTrack == hwnd && (current.dwFlags & TME_LEAVE);
}

LRESULT CXPButton::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_MOUSEMOVE:
        if (!tracksTheMouse()) {
            TRACKMOUSEEVENT request{sizeof request, TME_HOVER | TME_LEAVE, hwnd, 1};
            _TrackMouseEvent(&request);
        }
        break;
    case WM_MOUSEHOVER:
        hover = 1;
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case WM_MOUSELEAVE:
        hover = 0;
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case kReflectedDrawItem:
        DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_NCDESTROY: {
        WNDPROC original = buttonProc;
        HWND window = hwnd;
        unsubclass();
        return CallWindowProcW(original, window, message, wParam, lParam);
    }
    default:
        break;
    }
    return CallWindowProcW(buttonProc, hwnd, message, wParam, lParam);
}

void CXPButton::DrawItem(const DRAWITEMSTRUCT& item)
{
    HDC dc = item.hDC;
    int saved = SaveDC(dc);
    char text[kTextLimit] = {};
    int length = GetWindowTextA(hwnd, text, kTextLimit);

    RECT area = item.rcItem;
    HGDIOBJ previousPen = SelectObject(dc, outlinePen);
    RoundRect(dc, area.left, area.top, area.right, area.bottom, 5, 5);
    SelectObject(dc, previousPen);

    focused = (item.itemState & ODS_FOCUS) != 0;
    highlighted = (item.itemState & (ODS_FOCUS | ODS_SELECTED)) != 0 || isDefault(item);
    bool pressed = (item.itemState & ODS_SELECTED) != 0;

    InflateRect(&area, -GetSystemMetrics(SM_CXEDGE), -GetSystemMetrics(SM_CYEDGE));
    PaintShading(dc, area);
    if (hover || focused)
        PaintEdges(dc, area);

    HGDIOBJ previousFont = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32A(dc, text, length, &size);
    int x = (area.left + area.right) / 2 - size.cx / 2;
    int y = (area.top + area.bottom) / 2 - size.cy / 2;
    if (pressed) {
        ++x;
        ++y;
    }
    int previousMode = SetBkMode(dc, TRANSPARENT);
    UINT flags = DST_PREFIXTEXT | ((item.itemState & ODS_DISABLED) ? DSS_DISABLED : 0);
    DrawStateA(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(text), WPARAM(length), x, y, size.cx, size.cy, flags);
    SelectObject(dc, previousFont);
    SetBkMode(dc, previousMode);
    RestoreDC(dc, saved);
}

// The item state's default flag does not come for owner-drawn buttons (the
// dialog manager leaves them out of its default-button bookkeeping), so the
// dialog's default id says it too: Enter presses this button.
bool CXPButton::isDefault(const DRAWITEMSTRUCT& item) const
{
    if (item.itemState & ODS_DEFAULT)
        return true;
    LRESULT defaultId = SendMessageW(GetParent(hwnd), DM_GETDEFID, 0, 0);
    return HIWORD(defaultId) == DC_HASDEFID && LOWORD(defaultId) == GetDlgCtrlID(hwnd);
}

// Rows run in the button's own coordinates (its item rectangle starts at
// 0, 0), so the first row inside the edge is already a few shades down and
// the row under the inner rectangle is painted too.
void CXPButton::PaintShading(HDC dc, const RECT& area)
{
    int width = area.right - area.left;
    int height = area.bottom - area.top;
    if (height <= 0 || width <= 0)
        return; // too small for an inside: the outline alone
    HBRUSH shades[kShades];
    for (int i = 0; i < kShades; ++i) {
        int redGreen = hover ? 255 - i / 4 : 255 - i / 3;
        int blue = hover ? (highlighted ? 255 - i / 3 : 255 - i / 5) : (highlighted ? 255 - i / 4 : 255 - i / 5);
        shades[i] = CreateSolidBrush(RGB(redGreen, redGreen, blue));
    }
    for (int y = area.top; y <= height + 2; ++y) {
        RECT row{area.left, y, width + 2, y + 1};
        FillRect(dc, &row, shades[std::min(y * 63 / height, kShades - 1)]);
    }
    for (HBRUSH brush : shades)
        DeleteObject(brush);
}

void CXPButton::PaintEdges(HDC dc, const RECT& area)
{
    bool focusLook = focused && !hover;
    POINT position{};
    GetCurrentPositionEx(dc, &position);
    HGDIOBJ previousPen = GetCurrentObject(dc, OBJ_PEN);
    line(dc, focusLook ? focusLeftPen : hotLeftPen, area.left, area.bottom - 1, area.left, area.top + 1);
    line(dc, focusLook ? focusRightPen : hotRightPen, area.right - 1, area.bottom - 1, area.right - 1, area.top);
    line(dc, focusLook ? focusTopPen : hotTopPen, area.left - 1, area.top, area.right - 1, area.top);
    line(dc, focusLook ? focusBottomPen : hotBottomPen, area.left, area.bottom, area.right - 1, area.bottom);
    SelectObject(dc, previousPen);
    MoveToEx(dc, position.x, position.y, nullptr);
    if (focusLook)
        DrawFocusRect(dc, &area);
}
