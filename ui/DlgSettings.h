// The setup dialog: shows what the probe of the mount found and stores the
// port and the trace switch the user chooses. Building one reads the stored port and probes the
// mount (the MountProbe it is); DoModal shows the window.
#pragma once

#include "Dialog.h"
#include "MountProbe.h"
#include "XPButton.h"

class CDlgSettings : public CDialog, public MountProbe {
public:
    CDlgSettings();
    ~CDlgSettings() override;
    CDlgSettings(const CDlgSettings&) = delete;
    CDlgSettings& operator=(const CDlgSettings&) = delete;


protected:
    BOOL OnInitDialog() override;
    bool DoDataExchange(bool saving) override;
    void OnOK() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

    void OnPortSelected();
    // Stores the chosen port and the trace switch, then tells the user when
    // no mount answers on the port.
    void OnApply();
    void OnPaint();
    HBRUSH OnCtlColor(HDC dc);

private:
    CXPButton applyButton;
    CXPButton cancelButton;
    CXPButton okButton;
    CComboBox portList;
    HBRUSH backgroundBrush = nullptr;
};

// The dialog's background, behind its labels and read-only texts too.
constexpr COLORREF kSettingsBackground = RGB(210, 230, 190);
