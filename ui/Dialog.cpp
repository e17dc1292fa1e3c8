#include "Dialog.h"

#include "TemplateApp.h"
#include "resource.h"

#include <cstdint>
#include <cstring>
#include <string>

INT_PTR CDialog::DoModal(HWND parent)
{
    return DialogBoxParamA(theApp.moduleInstance(), MAKEINTRESOURCEA(templateId), parent, dialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialog::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        dialog->hwnd = window;
        return dialog->OnInitDialog();
    }
    auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (!dialog)
        return FALSE;
    INT_PTR result = dialog->handle(message, wParam, lParam);
    if (message == WM_NCDESTROY)
        dialog->hwnd = nullptr;
    return result;
}

INT_PTR CDialog::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR result = FALSE;
    if (OnMessage(message, wParam, lParam, result))
        return result;
    switch (message) {
    case WM_COMMAND: {
        WORD id = LOWORD(wParam);
        WORD code = HIWORD(wParam);
        if (code == BN_CLICKED && (id == IDOK || id == IDCANCEL)) {
            if (id == IDOK)
                OnOK();
            else
                OnCancel();
            return TRUE;
        }
        return OnCommand(id, code, reinterpret_cast<HWND>(lParam));
    }
    case WM_DRAWITEM: {
        // Owner-drawn controls paint themselves.
        auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item && item->CtlType == ODT_BUTTON && SendMessageW(item->hwndItem, kReflectedDrawItem, wParam, lParam))
            return TRUE;
        return FALSE;
    }
    default:
        return FALSE;
    }
}

BOOL CDialog::OnInitDialog()
{
    addTemplateItems();
    UpdateData(false);
    return TRUE;
}

bool CDialog::DoDataExchange(bool)
{
    return true;
}

void CDialog::OnOK()
{
    if (!UpdateData(true))
        return;
    EndDialog(hwnd, IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(hwnd, IDCANCEL);
}

bool CDialog::OnCommand(WORD, WORD, HWND)
{
    return false;
}

bool CDialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR&)
{
    return false;
}

// The template's initialisation data: entries of control id, message
// (the list's "add string"), a 32-bit byte count and the text, ended by a
// zero control id.
void CDialog::addTemplateItems()
{
    HMODULE module = theApp.moduleInstance();
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(templateId), MAKEINTRESOURCEA(RT_DIALOG_INIT));
    if (!found)
        return;
    HGLOBAL loaded = LoadResource(module, found);
    const auto* data = static_cast<const std::uint8_t*>(LockResource(loaded));
    DWORD size = SizeofResource(module, found);
    if (!data)
        return;
    DWORD at = 0;
    while (at + 2 <= size) {
        std::uint16_t control, command;
        std::uint32_t length;
        std::memcpy(&control, data + at, 2);
        if (control == 0 || at + 8 > size)
            break;
        std::memcpy(&command, data + at + 2, 2);
        std::memcpy(&length, data + at + 4, 4);
        at += 8;
        if (length > size - at)
            break;
        std::string text(reinterpret_cast<const char*>(data + at), length);
        at += length;
        if (command == DIALOG_INIT_ADD_STRING)
            SendDlgItemMessageA(hwnd, control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
}
