// A small modal dialog over plain Win32: built from a template in the DLL's
// own resources, with the handlers the setup dialog overrides.
#pragma once

#include <windows.h>

// Notifications that a dialog hands back to the control they concern, so an
// owner-drawn control paints itself: the message number plus this base.
constexpr UINT kReflectedBase = WM_USER + 0x1c00;
constexpr UINT kReflectedDrawItem = kReflectedBase + WM_DRAWITEM;

class CDialog {
public:
    explicit CDialog(UINT templateId) : templateId(templateId) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the modal loop on the calling thread; the EndDialog result, or
    // -1 when the window could not be made.
    INT_PTR DoModal(HWND parent = nullptr);
    HWND window() const { return hwnd; }

protected:
    // Adds the template's list items, then exchanges data into the controls.
    virtual BOOL OnInitDialog();
    // Controls to members when saving, members to controls otherwise.
    virtual bool DoDataExchange(bool saving);
    bool UpdateData(bool saving) { return DoDataExchange(saving); }
    virtual void OnOK();
    virtual void OnCancel();
    // Commands other than OK and Cancel; true when handled.
    virtual bool OnCommand(WORD id, WORD code, HWND control);
    // A message the handlers above do not cover; true when handled, with
    // the dialog procedure's answer in `result`.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);

    HWND hwnd = nullptr;

private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    void addTemplateItems();

    UINT templateId;
};

// The list of a drop-down combo box.
class CComboBox {
public:
    void Attach(HWND control) { hwnd = control; }
    int GetCurSel() const { return int(SendMessageA(hwnd, CB_GETCURSEL, 0, 0)); }
    void SetCurSel(int index) { SendMessageA(hwnd, CB_SETCURSEL, WPARAM(index), 0); }
    HWND window() const { return hwnd; }

private:
    HWND hwnd = nullptr;
};
