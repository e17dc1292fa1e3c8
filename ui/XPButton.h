// A push button that paints itself: rounded outline, 64 pale shades, orange
// edges while the mouse rests on it, blue edges and a focus rectangle while
// it has the keyboard focus. Clicks and keys stay the platform button's.
#pragma once

#include <windows.h>

class CXPButton {
public:
    CXPButton();
    virtual ~CXPButton();
    CXPButton(const CXPButton&) = delete;
    CXPButton& operator=(const CXPButton&) = delete;

    // Takes over the dialog's control `id`; false when there is none.
    bool SubclassDlgItem(int id, HWND dialog);
    HWND window() const { return hwnd; }

    virtual void DrawItem(const DRAWITEMSTRUCT& item);

protected:
    virtual void PreSubclassWindow();
    virtual void PaintShading(HDC dc, const RECT& area);
    virtual void PaintEdges(HDC dc, const RECT& area);

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void unsubclass();
    bool isDefault(const DRAWITEMSTRUCT& item) const;
    bool tracksTheMouse() const;

    HPEN outlinePen;
    HPEN hotLeftPen;
    HPEN hotRightPen;
    HPEN hotTopPen;
    HPEN hotBottomPen;
    HPEN focusLeftPen;
    HPEN focusRightPen;
    HPEN focusTopPen;
    HPEN focusBottomPen;
    BOOL hover = 0;
    BOOL focused = 0;
    BOOL highlighted = 0;

    HWND hwnd = nullptr;
    WNDPROC buttonProc = nullptr;
};
